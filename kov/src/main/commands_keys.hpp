#pragma once
// The key and signature subcommands: one library call each.

#include "kov_core/error.hpp"
#include "main/cli.hpp"

namespace kov {

// Writes a new key file and names it on standard output.
[[nodiscard]] kov_core::Result<void> run_keygen(const Keygen& command);
// Writes the Ed25519 public key of a key file; prints nothing.
[[nodiscard]] kov_core::Result<void> run_public_key(const PublicKey& command);
// Writes the detached signature of an archive; prints nothing.
[[nodiscard]] kov_core::Result<void> run_sign(const Sign& command);
// Checks a detached signature against a trusted public key and says so.
[[nodiscard]] kov_core::Result<void> run_verify_signature(const VerifySignature& command);

}  // namespace kov
