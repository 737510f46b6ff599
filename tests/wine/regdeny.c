/* Makes keys below HKEY_LOCAL_MACHINE refuse what a prompt without elevation
 * is refused, for the corpus scenarios that run netvane without the right.
 *
 *   regdeny deny KEY...    an entry denying Everyone the write rights of a
 *                          key, first in each key's DACL
 *   regdeny allow KEY...   those entries taken out again
 *
 * On Windows, HKLM grants Users read access and Administrators full access,
 * and a token that is not elevated carries Administrators for deny only, so
 * a key opens for reading but not with KEY_ALL_ACCESS. The entry gives Wine's
 * token, which is an administrator's, the same answer. Only the key's own
 * write rights are denied: reading (reg export), deleting (the corpus's reset)
 * and changing the DACL again (allow) keep working.
 *
 * Wine holds a key's security in its server's memory and does not save it
 * to the registry files, so the entry lasts only while the same wineserver
 * runs. Nothing is printed on success; a failure names the key and the
 * Windows error and exits with 1.
 */
#include <windows.h>
#include <aclapi.h>
#include <stdio.h>
#include <string.h>

static const DWORD kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK;

static int fail(const char* what, const char* path, DWORD error) {
  fprintf(stderr, "regdeny: %s %s: error %lu\n", what, path, (unsigned long)error);
  return 1;
}

static int isEveryonesDenial(const ACE_HEADER* ace, PSID everyone) {
  return ace->AceType == ACCESS_DENIED_ACE_TYPE &&
         EqualSid((PSID) & ((const ACCESS_DENIED_ACE*)ace)->SidStart, everyone);
}

/* The key's DACL without Everyone's denials, with a new one first when
 * `deny` is set: deny entries come first in a canonical ACL, and the access
 * check stops at the first entry that denies a right asked for. */
static int setDenial(const char* path, int deny, PSID everyone) {
  HKEY key = NULL;
  LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, READ_CONTROL | WRITE_DAC, &key);
  if (opened != ERROR_SUCCESS) return fail("cannot open", path, (DWORD)opened);
  PACL dacl = NULL;
  PSECURITY_DESCRIPTOR descriptor = NULL;
  DWORD error = GetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL,
                                &dacl, NULL, &descriptor);
  if (error != ERROR_SUCCESS) {
    RegCloseKey(key);
    return fail("cannot read the DACL of", path, error);
  }
  ACL_SIZE_INFORMATION info;
  memset(&info, 0, sizeof info);
  if (dacl != NULL) GetAclInformation(dacl, &info, sizeof info, AclSizeInformation);
  DWORD entrySize = sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(everyone);
  DWORD size = sizeof(ACL) + info.AclBytesInUse + 2 * entrySize;
  PACL acl = (PACL)LocalAlloc(LPTR, size);
  DWORD revision = dacl != NULL ? dacl->AclRevision : ACL_REVISION;
  int ok = acl != NULL && InitializeAcl(acl, size, revision);
  if (ok && deny) ok = AddAccessDeniedAce(acl, revision, kWriteRights, everyone);
  /* A missing DACL grants everyone everything: spelled out, so that the
   * denial has something to take away from. */
  if (ok && deny && dacl == NULL) ok = AddAccessAllowedAce(acl, revision, KEY_ALL_ACCESS, everyone);
  for (DWORD i = 0; ok && i < info.AceCount; i++) {
    void* ace = NULL;
    ok = GetAce(dacl, i, &ace);
    if (ok && !isEveryonesDenial((ACE_HEADER*)ace, everyone)) {
      ok = AddAce(acl, revision, MAXDWORD, ace, ((ACE_HEADER*)ace)->AceSize);
    }
  }
  error = ok ? ERROR_SUCCESS : GetLastError();
  if (ok && (deny || dacl != NULL)) {
    error = SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, NULL, NULL, acl,
                            NULL);
  }
  LocalFree(acl);
  LocalFree(descriptor);
  RegCloseKey(key);
  return error == ERROR_SUCCESS ? 0 : fail("cannot set the DACL of", path, error);
}

int main(int argc, char** argv) {
  int deny = argc > 1 && strcmp(argv[1], "deny") == 0;
  if (argc < 3 || (!deny && strcmp(argv[1], "allow") != 0)) {
    fprintf(stderr, "usage: regdeny deny|allow KEY...  (keys below HKEY_LOCAL_MACHINE)\n");
    return 2;
  }
  SID_IDENTIFIER_AUTHORITY world = {SECURITY_WORLD_SID_AUTHORITY};
  PSID everyone = NULL;
  if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone)) {
    return fail("cannot make the SID of", "Everyone", GetLastError());
  }
  int status = 0;
  for (int i = 2; i < argc && status == 0; i++) status = setDenial(argv[i], deny, everyone);
  FreeSid(everyone);
  return status;
}
