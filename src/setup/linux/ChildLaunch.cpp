#include "setup/linux/ChildLaunch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

extern char** environ;

namespace quorvantile::setup {
namespace {

// The steps of the child that can fail, and the call each one reports.
enum class Step : int { duplicate, closeOthers, execute };
constexpr std::array<const char*, 3> kStepCalls = {"dup2", "close_range", "execveat"};

struct ChildFailure {
    int step = 0;
    int number = 0;
};

[[noreturn]] void fail(int report, Step step) noexcept
{
    const ChildFailure failure {static_cast<int>(step), errno};
    (void)!::write(report, &failure, sizeof failure);
    ::_exit(127);
}

// Closes the descriptors first to last; one by one where the kernel has no close_range.
bool closeBetween(unsigned first, unsigned last) noexcept
{
    if (first > last || ::close_range(first, last, 0) == 0) {
        return true;
    }
    if (errno != ENOSYS) {
        return false;
    }
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return false;
    }
    const rlim_t end = std::min<rlim_t>(last, limit.rlim_cur == 0 ? 0 : limit.rlim_cur - 1);
    for (rlim_t fd = first; fd <= end; ++fd) {
        (void)::close(static_cast<int>(fd));
    }
    return true;
}

// The child between fork and exec: system calls only, as in any child of a threaded process.
[[noreturn]] void runChild(const ChildLaunch& launch, int reportEnd) noexcept
{
    // Every signal is still blocked, as the parent blocked them around the fork, so none of its
    // handlers runs here before they are all back to their defaults.
    struct sigaction byDefault { };
    byDefault.sa_handler = SIG_DFL;
    for (int number = 1; number < NSIG; ++number) {
        (void)::sigaction(number, &byDefault, nullptr); // refused for SIGKILL, SIGSTOP and the C library's own
    }
    // Everything the child keeps is first moved above standard error, so that placing the pipes on
    // 0 and 1 cannot overwrite any of it.
    const int report = ::fcntl(reportEnd, F_DUPFD_CLOEXEC, 3);
    if (report < 0) {
        fail(reportEnd, Step::duplicate);
    }
    const int program = ::fcntl(launch.executable, F_DUPFD_CLOEXEC, 3);
    const int input = ::fcntl(launch.standardInput, F_DUPFD_CLOEXEC, 3);
    const int output = ::fcntl(launch.standardOutput, F_DUPFD_CLOEXEC, 3);
    if (program < 0 || input < 0 || output < 0 || ::dup2(input, STDIN_FILENO) < 0 ||
        ::dup2(output, STDOUT_FILENO) < 0) {
        fail(report, Step::duplicate);
    }
    // Nothing the application holds reaches the server: only the report pipe and the program stay
    // until the exec, which closes them too.
    const auto low = static_cast<unsigned>(std::min(program, report));
    const auto high = static_cast<unsigned>(std::max(program, report));
    if (!closeBetween(STDERR_FILENO + 1, low - 1) || !closeBetween(low + 1, high - 1) || !closeBetween(high + 1, ~0U)) {
        fail(report, Step::closeOthers);
    }
    sigset_t none;
    sigemptyset(&none);
    (void)::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execveat(program, "", launch.arguments, launch.environment, AT_EMPTY_PATH);
    fail(report, Step::execute);
}

void reap(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
}

} // namespace

Outcome launchChild(const ChildLaunch& launch, pid_t& pid)
{
    // The child tells why it could not exec through this pipe; its end at the exec says it did.
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return SetupError::system("pipe2", errno);
    }
    UniqueFd reportRead(ends[0]);
    UniqueFd reportWrite(ends[1]);

    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    (void)::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t child = ::fork();
    if (child == 0) {
        runChild(launch, reportWrite.get());
    }
    const int forkError = errno;
    (void)::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (child < 0) {
        return SetupError::system("fork", forkError);
    }

    reportWrite.reset();
    ChildFailure failure;
    ssize_t got = 0;
    while ((got = ::read(reportRead.get(), &failure, sizeof failure)) < 0 && errno == EINTR) { }
    if (got == 0) {
        pid = child;
        return {};
    }
    if (got == static_cast<ssize_t>(sizeof failure) && failure.step >= 0 &&
        failure.step < static_cast<int>(kStepCalls.size())) {
        reap(child); // it has already ended
        return SetupError::system(kStepCalls.at(static_cast<std::size_t>(failure.step)), failure.number);
    }
    // Not knowing whether it runs, it must not run unwatched.
    const int readError = got < 0 ? errno : EIO;
    (void)::kill(child, SIGKILL);
    reap(child);
    return SetupError::system("read", readError);
}

UniqueFd openExecutable(const std::string& path) { return UniqueFd(::open(path.c_str(), O_PATH | O_CLOEXEC)); }

std::vector<std::string> currentEnvironment()
{
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        entries.emplace_back(*entry);
    }
    return entries;
}

} // namespace quorvantile::setup
