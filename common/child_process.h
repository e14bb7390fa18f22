// Runs an external program without a shell and collects what it prints,
// with a deadline. Arguments go to the program as they are (execv), so no
// text from a configuration file or the user is ever interpreted by a shell.
//
// The child runs in its own process group and is killed (SIGKILL) by the
// kernel if the thread that started it dies (PR_SET_PDEATHSIG), so it never
// outlives this program; on the deadline or an output larger than the limit
// the whole group is killed. Blocks the calling thread until the child has
// ended or been killed and reaped; never longer than the deadline plus the
// moment the kernel needs to deliver SIGKILL.
#ifndef JYX_COMMON_CHILD_PROCESS_H_
#define JYX_COMMON_CHILD_PROCESS_H_

#include <cstddef>
#include <string>
#include <vector>

namespace jyx {

struct CaptureLimits {
  double totalSeconds = 60.0;           // deadline from the start of the child
  size_t maxOutput = 16 * 1024 * 1024;  // standard output bytes kept
};

// argv[0] is looked up in PATH unless it contains a '/'. True when the
// program ran to its end within the limits and exited with status 0; *out
// then holds its standard output. Otherwise *err holds one line naming the
// program and the reason (not found, killed at the deadline, output too
// large, exit status with the first line the program wrote to its standard
// error); *out keeps what came before. Standard input is /dev/null.
bool runCaptured(const std::vector<std::string>& argv, const CaptureLimits& limits,
                 std::string* out, std::string* err);

}  // namespace jyx

#endif  // JYX_COMMON_CHILD_PROCESS_H_
