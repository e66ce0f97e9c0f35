/* A PKCS#11 module for tests: every call goes to the module named by NORVANE_FORWARD_MODULE
 * (SoftHSM), except that its tokens say their user PIN is locked and refuse every login with
 * CKR_PIN_LOCKED. SoftHSM itself never locks a PIN. */
#include <dlfcn.h>
#include <stdlib.h>
#include <p11-kit/pkcs11.h>

static CK_FUNCTION_LIST own;
static CK_FUNCTION_LIST_PTR real;

static CK_RV lockedTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    CK_RV rv = real->C_GetTokenInfo(slot, info);
    if (rv == CKR_OK) info->flags |= CKF_USER_PIN_LOCKED;
    return rv;
}

static CK_RV lockedLogin(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    (void)session;
    (void)user;
    (void)pin;
    (void)length;
    return CKR_PIN_LOCKED;
}

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (!real) {
        const char* path = getenv("NORVANE_FORWARD_MODULE");
        void* handle = path ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : NULL;
        CK_C_GetFunctionList get = handle ? (CK_C_GetFunctionList)dlsym(handle, "C_GetFunctionList") : NULL;
        if (!get || get(&real) != CKR_OK) return CKR_GENERAL_ERROR;
        own = *real;
        own.C_GetTokenInfo = lockedTokenInfo;
        own.C_Login = lockedLogin;
    }
    *list = &own;
    return CKR_OK;
}
