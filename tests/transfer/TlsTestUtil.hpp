// A certificate authority for the TLS tests, made with the openssl command line in a test's
// private folder: authorities, server certificates they sign (good, expired, for another
// host) and a hashed folder of one of them.
#pragma once

#include "HttpTestUtil.hpp"

#include <string>
#include <system_error>
#include <vector>

namespace tavhttptest {

inline const std::string kOpenssl = "/usr/bin/openssl";

/// Runs a program to its end with its output appended to `log`; its exit status, or -1.
inline int RunProgram(const std::vector<std::string>& argv, const std::string& log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> raw;
    for (const std::string& a : argv) raw.push_back(const_cast<char*>(a.c_str()));
    raw.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// Two certificate authorities in a folder (the trusted "ca" and an "other" nobody trusts)
/// and server certificates they sign.
class TestAuthority {
public:
    explicit TestAuthority(std::string dir) : dir_(std::move(dir)), log_(dir_ + "/openssl.log") {}

    bool MakeAuthority(const std::string& name) {
        return RunProgram({kOpenssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                           "-keyout", Path(name + ".key"), "-out", Path(name + ".pem"), "-days", "30", "-subj",
                           "/CN=TAVSock test authority " + name},
                          log_) == 0;
    }
    /// name.pem and name.key for `altNames` (e.g. "DNS:localhost,IP:127.0.0.1"), valid for
    /// `days` from now (-1: expired a day ago), signed by `authority`.
    bool Issue(const std::string& name, const std::string& altNames, int days, const std::string& authority) {
        WriteFile(Path(name + ".ext"), "subjectAltName=" + altNames + "\n");
        return RunProgram({kOpenssl, "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
                           Path(name + ".key"), "-out", Path(name + ".csr"), "-subj", "/CN=" + name},
                          log_) == 0 &&
               RunProgram({kOpenssl, "x509", "-req", "-in", Path(name + ".csr"), "-CA", Path(authority + ".pem"),
                           "-CAkey", Path(authority + ".key"), "-CAcreateserial", "-CAserial",
                           Path(authority + ".srl"), "-out", Path(name + ".pem"), "-days", std::to_string(days),
                           "-extfile", Path(name + ".ext")},
                          log_) == 0;
    }
    /// A folder holding the authority under its hash name, as `openssl rehash` makes it.
    bool MakeHashedFolder(const std::string& authority, const std::string& folder) {
        const std::string hashFile = Path("hash.txt");
        fs::create_directory(folder);
        if (RunProgram({kOpenssl, "x509", "-in", Path(authority + ".pem"), "-noout", "-hash"}, hashFile) != 0) return false;
        std::string hash = ReadFile(hashFile);
        hash.erase(hash.find_last_not_of(" \n") + 1);
        std::error_code ec;
        fs::copy_file(Path(authority + ".pem"), folder + "/" + hash + ".0", ec);
        return !ec;
    }
    std::string Path(const std::string& file) const { return dir_ + "/" + file; }
    std::string Log() const { return ReadFile(log_); }

private:
    std::string dir_;
    std::string log_;
};

}  // namespace tavhttptest
