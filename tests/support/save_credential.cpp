// save_credential TARGET USER PASSWORD: saves a Windows credential for the host TARGET in the
// user's Credential Manager, as "cmdkey /add:TARGET /user:USER /pass:PASSWORD" does; SSPI's NTLM
// answers that host with it. save_credential TARGET deletes it. Exit status 0 when done.
#include <windows.h>
// After windows.h.
#include <wincred.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc == 2) return CredDeleteW(argv[1], CRED_TYPE_DOMAIN_PASSWORD, 0) ? 0 : 1;
  if (argc != 4) return 2;
  CREDENTIALW credential{};
  credential.Type = CRED_TYPE_DOMAIN_PASSWORD;
  credential.TargetName = argv[1];
  credential.UserName = argv[2];
  credential.CredentialBlob = reinterpret_cast<BYTE*>(argv[3]);
  credential.CredentialBlobSize = static_cast<DWORD>(std::wcslen(argv[3]) * sizeof(wchar_t));
  credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
  return CredWriteW(&credential, 0) ? 0 : 1;
}
