// The credentials file's JSON, as any local user who can write it may leave it.

#include <cstring>
#include <string>

#include "CredentialsFile.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string path = ScratchDir() + "/auth_config";
  WriteScratchFile(path, data, size);

  // The caller's buffers as the header documents them.
  char *authId = static_cast<char *>(calloc(CREDENTIAL_BUFFER_SIZE, 1));
  char *password = static_cast<char *>(calloc(CREDENTIAL_BUFFER_SIZE, 1));
  char *authIdPointer = authId;
  char *passwordPointer = password;
  const int found =
      getAuthInfoFromPath(path.c_str(), &authIdPointer, &passwordPointer, StderrLog());
  FUZZ_CHECK(found == 0 || found == 1);
  FUZZ_CHECK(strnlen(authId, CREDENTIAL_BUFFER_SIZE) < CREDENTIAL_BUFFER_SIZE);
  FUZZ_CHECK(strnlen(password, CREDENTIAL_BUFFER_SIZE) < CREDENTIAL_BUFFER_SIZE);
  if (found == 0) FUZZ_CHECK(authId[0] == '\0' && password[0] == '\0');

  free(password);
  free(authId);
  return 0;
}
