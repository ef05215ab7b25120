#include "main/commands_keys.hpp"

#include <unistd.h>

#include <string>

#include "kov_core/crypto.hpp"
#include "kov_core/signature.hpp"
#include "main/output.hpp"

namespace kov {

kov_core::Result<void> run_keygen(const Keygen& command) {
  KOV_TRY(kov_core::crypto::generate_key_file(command.output));
  write_stdout("created secret key file " + display_path(command.output, shown_on(STDOUT_FILENO)) +
               "\n");
  return {};
}

kov_core::Result<void> run_public_key(const PublicKey& command) {
  return kov_core::signature::export_signing_public_key(command.secret, command.output);
}

kov_core::Result<void> run_sign(const Sign& command) {
  return kov_core::signature::sign_archive(command.archive, command.signing_key, command.output);
}

kov_core::Result<void> run_verify_signature(const VerifySignature& command) {
  KOV_TRY(kov_core::signature::verify_archive_signature(command.archive, command.signature,
                                                        command.public_key));
  write_stdout("OK: archive signature matches the trusted public key\n");
  return {};
}

}  // namespace kov
