/* A PKCS#11 module for tests: every call goes to the module named by NORVANE_FORWARD_MODULE
 * (SoftHSM), except what NORVANE_TOKEN_FAULT makes its tokens do that SoftHSM never does:
 *   "locked" (the default): the user PIN is locked, and every login fails with CKR_PIN_LOCKED;
 *   "finaltry": the token says one more wrong PIN locks it (logins go to SoftHSM as they are);
 *   "pinpad": the token sits in a reader with a PIN pad (a protected authentication path);
 *             a login without a PIN is the user typing NORVANE_PINPAD_PIN there, a login that
 *             brings a PIN is refused as a pad reader would;
 *   "noslots": no reader and no token: the slot list is empty (as p11-kit's proxy with no
 *             module, or a driver before its reader is plugged in). */
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>
#include <p11-kit/pkcs11.h>

static CK_FUNCTION_LIST own;
static CK_FUNCTION_LIST_PTR real;

/* Read at every call, so that one process may load the module for any fault. */
static int fault(const char* name) {
    const char* set = getenv("NORVANE_TOKEN_FAULT");
    return set && strcmp(set, name) == 0;
}
static int pinPad(void) { return fault("pinpad"); }

static int noSlots(void) {
    const char* fault = getenv("NORVANE_TOKEN_FAULT");
    return fault && strcmp(fault, "noslots") == 0;
}

static CK_RV faultySlotList(CK_BBOOL present, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    if (!noSlots()) return real->C_GetSlotList(present, list, count);
    if (count == NULL) return CKR_ARGUMENTS_BAD;
    *count = 0;
    return CKR_OK;
}

static CK_RV faultyTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    CK_RV rv = real->C_GetTokenInfo(slot, info);
    if (rv == CKR_OK)
        info->flags |= pinPad() ? CKF_PROTECTED_AUTHENTICATION_PATH
                       : fault("finaltry") ? CKF_USER_PIN_FINAL_TRY
                                           : CKF_USER_PIN_LOCKED;
    return rv;
}

static CK_RV faultyLogin(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    if (fault("finaltry")) return real->C_Login(session, user, pin, length);
    if (!pinPad()) return CKR_PIN_LOCKED;
    if (pin != NULL || length != 0) return CKR_ARGUMENTS_BAD;
    const char* typed = getenv("NORVANE_PINPAD_PIN");
    if (!typed) return CKR_FUNCTION_CANCELED;
    return real->C_Login(session, user, (CK_UTF8CHAR_PTR)typed, (CK_ULONG)strlen(typed));
}

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (!real) {
        const char* path = getenv("NORVANE_FORWARD_MODULE");
        void* handle = path ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : NULL;
        CK_C_GetFunctionList get = handle ? (CK_C_GetFunctionList)dlsym(handle, "C_GetFunctionList") : NULL;
        if (!get || get(&real) != CKR_OK) return CKR_GENERAL_ERROR;
        own = *real;
        own.C_GetTokenInfo = faultyTokenInfo;
        own.C_Login = faultyLogin;
        own.C_GetSlotList = faultySlotList;
    }
    *list = &own;
    return CKR_OK;
}
