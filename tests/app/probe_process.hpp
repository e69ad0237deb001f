#pragma once
// One copy of the application probe as a child process, with its stdin and
// stdout on pipes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace ql5::test {

class ProbeProcess {
  public:
    ProbeProcess(const std::string& exe, const std::map<std::string, std::string>& env = {}) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        std::vector<std::string> envStrings;
        // The probe's own switches come only from the test, never from the
        // environment the tests happen to run in.
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const std::string key = entry.substr(0, entry.find('='));
            if (env.count(key) || key.rfind("QL5_", 0) == 0) continue;
            envStrings.push_back(entry);
        }
        for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
        std::vector<char*> envp;
        for (auto& s : envStrings) envp.push_back(s.data());
        envp.push_back(nullptr);
        std::string exeCopy = exe;
        char* argv[] = {exeCopy.data(), nullptr};
        if (posix_spawn(&pid_, exe.c_str(), &fa, nullptr, argv, envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        inFd_ = in[1];
        outFd_ = out[0];
    }
    ~ProbeProcess() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (inFd_ >= 0) ::close(inFd_);
        if (outFd_ >= 0) ::close(outFd_);
    }
    ProbeProcess(const ProbeProcess&) = delete;
    ProbeProcess& operator=(const ProbeProcess&) = delete;

    bool started() const { return pid_ > 0; }

    // The next line of output, or nothing after timeoutMs or at its end.
    std::optional<std::string> readLine(int timeoutMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || outFd_ < 0) return std::nullopt;
            pollfd p{outFd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[512];
            const ssize_t n = ::read(outFd_, chunk, sizeof chunk);
            if (n <= 0) return std::nullopt;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // Lines until one starts with prefix (that one included); nothing when
    // it did not come in time.
    std::optional<std::string> readUntil(const std::string& prefix, int timeoutMs,
                                         std::vector<std::string>* seen = nullptr) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            auto line = readLine(static_cast<int>(std::max<long long>(0, left.count())));
            if (!line) return std::nullopt;
            if (seen != nullptr) seen->push_back(*line);
            if (line->rfind(prefix, 0) == 0) return line;
        }
    }

    void send(const std::string& line) {
        const std::string l = line + "\n";
        if (::write(inFd_, l.data(), l.size()) < 0) {
            // The probe has gone; the caller sees it in its output.
        }
    }
    void closeInput() {
        if (inFd_ >= 0) ::close(inFd_);
        inFd_ = -1;
    }
    void kill() { ::kill(pid_, SIGKILL); }

    // The wait status when the process ended within timeoutMs.
    std::optional<int> wait(int timeoutMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                return status;
            }
            if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
            ::usleep(2000);
        }
    }

  private:
    pid_t pid_ = -1;
    int inFd_ = -1;
    int outFd_ = -1;
    bool exited_ = false;
    std::string buffer_;
};

}  // namespace ql5::test
