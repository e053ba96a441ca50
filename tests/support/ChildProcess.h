// Starts a program (the real Halvane binary or a tool) for an end-to-end
// test, with its own working directory, environment additions and standard
// output captured in a file; kills it when the object goes out of scope.
// Standard input is inherited, or opened from `stdinPath`; a terminal there
// (a pseudo-terminal's slave) becomes the program's controlling terminal in
// a session of its own, with the program in the foreground, as a console.
// Sanitizer reports of a program built with sanitizers go to its captured
// output too (sanitizerReport() finds them there).
#pragma once

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace halvane {

class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args, const std::string& workDir,
                 const std::vector<std::pair<std::string, std::string>>& env = {},
                 const std::string& stdoutPath = "/dev/null", const std::string& stdinPath = "")
    {
        pid_ = fork();
        if (pid_ != 0)
            return;
        // Child: a clean signal mask, the test's directory and variables.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (chdir(workDir.c_str()) != 0)
            _exit(120);
        // A suite run by systemd must not make the programs believe they
        // write to its journal.
        unsetenv("JOURNAL_STREAM");
        // Whatever options the suite runs with, reports land on standard error.
        for (const auto& [name, added] : {std::pair{"ASAN_OPTIONS", "log_path=stderr"},
                                          std::pair{"UBSAN_OPTIONS", "log_path=stderr:print_stacktrace=1"},
                                          std::pair{"TSAN_OPTIONS", "log_path=stderr"},
                                          std::pair{"LSAN_OPTIONS", "log_path=stderr"}}) {
            const char* options = getenv(name);
            const std::string value = options != nullptr && *options != '\0' ? std::string(options) + ":" + added : added;
            setenv(name, value.c_str(), 1);
        }
        for (const auto& [name, value] : env)
            setenv(name.c_str(), value.c_str(), 1);
        if (!stdinPath.empty()) {
            setsid();
            int in = open(stdinPath.c_str(), O_RDWR);
            if (in < 0)
                _exit(122);
            if (isatty(in) != 0)
                ioctl(in, TIOCSCTTY, 0);
            dup2(in, STDIN_FILENO);
            if (in != STDIN_FILENO)
                close(in);
        }
        int out = open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0) {
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(121);
    }
    ~ChildProcess()
    {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig) const { kill(pid_, sig); }

    // Waits up to `limit` for the process to end. Returns its exit status,
    // 128 + the signal that killed it, or -1 when it is still running.
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(20))
    {
        if (exited_)
            return status_;
        auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            int raw = 0;
            pid_t done = waitpid(pid_, &raw, WNOHANG);
            if (done == pid_) {
                exited_ = true;
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
                return status_;
            }
            if (std::chrono::steady_clock::now() > deadline)
                return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = -1;
};

// The first report of AddressSanitizer, UndefinedBehaviorSanitizer,
// ThreadSanitizer or LeakSanitizer in `output`, from the start of its line
// (at most 4000 characters, enough for its stack); empty when there is none.
inline std::string sanitizerReport(const std::string& output)
{
    for (const char* marker :
         {"ERROR: AddressSanitizer", "runtime error:", "WARNING: ThreadSanitizer", "ERROR: LeakSanitizer"}) {
        const std::size_t at = output.find(marker);
        if (at == std::string::npos)
            continue;
        const std::size_t start = output.rfind('\n', at);
        const std::size_t begin = start == std::string::npos ? 0 : start + 1;
        return output.substr(begin, 4000);
    }
    return {};
}

// Polls `condition` until it holds or `limit` passes; returns its last value.
template <typename F>
bool eventually(F condition, std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace halvane
