/* A PKCS#11 module for the benchmarks: a token as slow as a smart card. Every call goes
 * to the module named by NORVANE_SLOW_TOKEN_MODULE (SoftHSM), and every signature takes
 * NORVANE_SLOW_TOKEN_MS milliseconds longer (the time a card spends on its RSA key; read
 * at each signature, so that a benchmark can change it between runs). Registered with
 * p11-kit only for a benchmark's own process (see SlowToken.h). */

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <p11-kit/pkcs11.h>

static CK_FUNCTION_LIST slow_list;
static CK_FUNCTION_LIST_PTR real_list;
static CK_RV loaded = CKR_GENERAL_ERROR;
static pthread_once_t once = PTHREAD_ONCE_INIT;

static void card_time(void) {
    const char *ms = getenv("NORVANE_SLOW_TOKEN_MS");
    long delay_ms = ms ? strtol(ms, NULL, 10) : 0;
    if (delay_ms <= 0) return;
    struct timespec left = {delay_ms / 1000, (delay_ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}

/* A call that only asks for the signature's length (no buffer) costs the card nothing. */
static CK_RV slow_sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG data_len, CK_BYTE_PTR signature,
                       CK_ULONG_PTR signature_len) {
    if (signature) card_time();
    return real_list->C_Sign(session, data, data_len, signature, signature_len);
}

static CK_RV slow_sign_final(CK_SESSION_HANDLE session, CK_BYTE_PTR signature, CK_ULONG_PTR signature_len) {
    if (signature) card_time();
    return real_list->C_SignFinal(session, signature, signature_len);
}

static void load(void) {
    const char *path = getenv("NORVANE_SLOW_TOKEN_MODULE");
    if (!path || !*path) {
        fprintf(stderr, "slow token: NORVANE_SLOW_TOKEN_MODULE is not set\n");
        return;
    }
    void *module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        fprintf(stderr, "slow token: %s\n", dlerror());
        return;
    }
    /* POSIX's way of taking a function from dlsym, which ISO C does not allow as a cast. */
    CK_C_GetFunctionList get = NULL;
    *(void **)(&get) = dlsym(module, "C_GetFunctionList");
    if (!get || get(&real_list) != CKR_OK || !real_list) {
        fprintf(stderr, "slow token: %s gives no function list\n", path);
        return;
    }
    slow_list = *real_list;
    slow_list.C_Sign = slow_sign;
    slow_list.C_SignFinal = slow_sign_final;
    loaded = CKR_OK;
}

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (!list) return CKR_ARGUMENTS_BAD;
    pthread_once(&once, load);
    if (loaded != CKR_OK) return loaded;
    *list = &slow_list;
    return CKR_OK;
}
