#include "support/VQConsole.h"

#include <fcntl.h>
#include <unistd.h>

namespace vq {

bool IsConsoleApplication() noexcept { return fcntl(STDOUT_FILENO, F_GETFD) != -1; }

}  // namespace vq
