#pragma once
// Internal: a failure's one-line reason, made where the failure happens and
// left as the engine's last error (partwise/errors.h).
#include <string>

namespace partwise {

// Records "<what> '<path>': <strerror(err)>" as the last error; returns -1.
int Fail(const std::string& what, const std::string& path, int err);
// Records "<message>" as the last error; returns -1.
int Fail(const std::string& message);

}  // namespace partwise
