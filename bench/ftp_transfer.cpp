// FTP transfers through TavFTPTransferMgr against curl, both talking to the same vsftpd
// (started here on 127.0.0.1 with a private configuration):
//   - RETR of 1 GiB to /dev/null, passive and active (curl with --disable-epsv, or
//     --ftp-port 127.0.0.1 --disable-eprt, so both use PASV/PORT);
//   - STOR of 256 MiB (curl -T);
//   - the peak resident memory of this process over file-to-file transfers of 1 GiB.
// Each ratio is curl's time over ours (above 1: we are faster), median of 5 runs, the two
// sides interleaved. Usage: bench_ftp_transfer [runs] [retrieve-MiB] [store-MiB].
#include <tavsock/MessageLoop.hpp>
#include <tavsock/TavFTPTransferMgr.hpp>

#include "BenchProcess.hpp"
#include "support/Loopback.hpp"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

/// vsftpd on a free port, serving `root` to the anonymous user (uploads into root/upload).
class Vsftpd {
public:
    explicit Vsftpd(const std::string& dir) {
        for (int attempt = 0; attempt < 5 && !mUp; ++attempt) {
            mPort = tav::support::FreePort();
            std::ofstream(dir + "/vsftpd.conf")
                << "listen=YES\nlisten_ipv6=NO\nbackground=NO\nlisten_address=127.0.0.1\nlisten_port=" << mPort
                << "\nanonymous_enable=YES\nlocal_enable=NO\nwrite_enable=YES\nanon_upload_enable=YES\n"
                   "anon_other_write_enable=YES\nanon_root=" << dir << "/root\nsecure_chroot_dir=" << dir
                << "/empty\nseccomp_sandbox=NO\npasv_enable=YES\nport_enable=YES\nconnect_from_port_20=NO\n"
                   "xferlog_enable=NO\nsyslog_enable=NO\nanon_umask=022\nmax_clients=0\nmax_per_ip=0\n";
            mUp = mServer.Start({"/usr/sbin/vsftpd", dir + "/vsftpd.conf"}) && tav::support::WaitListening(mServer, mPort);
            if (!mUp) mServer.Stop();
        }
    }
    int Port() const { return mPort; }
    bool Up() const { return mUp; }

private:
    tav::support::Process mServer;
    uint16_t mPort = 0;
    bool mUp = false;
};

/// One transfer through TavFTPTransferMgr; seconds, or -1 when it did not end well.
double Ours(int port, bool passive, bool store, const std::string& remote, const std::string& local) {
    auto ftp = tav::TavFTPTransferMgr::Create();
    ftp->PairReplies(true);
    ftp->PassiveMode(passive);
    ftp->Port(port);
    ftp->User("anonymous");
    ftp->Timeout(60000);
    int ready = 0;
    bool failed = false;
    ftp->FTPReady.Subscribe([&](int32_t) { ++ready; });
    ftp->FTPError.Subscribe([&](const std::string&, const std::string&) { failed = true; });
    ftp->FTPObjectError.Subscribe([&](int32_t) { failed = true; });
    ftp->Connect("127.0.0.1");
    auto until = [&](int n) {
        return tav::RunMessagesUntil([&] { return failed || ready >= n; }, std::chrono::seconds(600)) && !failed;
    };
    if (!until(1)) return -1;
    ftp->Binary();
    if (!until(2)) return -1;
    const auto t0 = Clock::now();
    if ((store ? ftp->Store(remote, local) : ftp->Retrieve(remote, local)) != 0 || !until(3)) return -1;
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

/// The same transfer through curl; seconds, or -1.
double Curl(int port, bool passive, bool store, const std::string& remote, const std::string& local) {
    const std::string url = "ftp://127.0.0.1:" + std::to_string(port) + "/" + remote;
    std::vector<std::string> argv = {"/usr/bin/curl", "-s", "-S"};
    if (passive)
        argv.push_back("--disable-epsv");
    else
        argv.insert(argv.end(), {"--ftp-port", "127.0.0.1", "--disable-eprt"});
    if (store)
        argv.insert(argv.end(), {"-T", local, url});
    else
        argv.insert(argv.end(), {"-o", local, url});
    tav::support::Stdio io;
    io.err = "/dev/stderr";  // curl -S: its complaints are worth seeing
    io.append = true;
    const tav::support::Usage run = tav::support::Run(argv, io);
    return run.status == 0 ? run.seconds : -1;
}

void Compare(const char* label, int runs, double mib, const std::function<double()>& ours,
             const std::function<double()>& curl) {
    std::vector<double> a, b;
    for (int i = 0; i < runs; ++i) {
        // Interleaved, so both sides see the same machine.
        const double o = ours();
        const double c = curl();
        if (o < 0 || c < 0) {
            std::printf("%-28s FAILED (ours %.3f, curl %.3f)\n", label, o, c);
            return;
        }
        a.push_back(o);
        b.push_back(c);
    }
    const double mo = bench::Median(a), mc = bench::Median(b);
    std::printf("%-28s tavsock %7.0f MiB/s  curl %7.0f MiB/s  ratio %.2fx\n", label, mib / mo, mib / mc, mc / mo);
}

void MakeFile(const std::string& path, int64_t bytes) {
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 + i / 4096);
    std::ofstream out(path, std::ios::binary);
    for (int64_t left = bytes; left > 0; left -= static_cast<int64_t>(block.size()))
        out.write(block.data(), static_cast<std::streamsize>(std::min<int64_t>(left, static_cast<int64_t>(block.size()))));
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const int64_t retrieveMiB = argc > 2 ? std::atoll(argv[2]) : 1024;
    const int64_t storeMiB = argc > 3 ? std::atoll(argv[3]) : 256;

    // In memory where there is room, so the disk does not add its own noise to either side.
    const tav::support::TempDir scratch("tavftpbench", ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "");
    const std::string dir = scratch.Path();
    if (dir.empty()) return 1;
    fs::create_directories(dir + "/root/pub");
    fs::create_directories(dir + "/root/upload");
    fs::create_directories(dir + "/empty");
    ::chmod((dir + "/root").c_str(), 0755);
    ::chmod((dir + "/root/pub").c_str(), 0755);
    (void)std::system(("chown ftp " + dir + "/root/upload").c_str());
    MakeFile(dir + "/root/pub/big.bin", retrieveMiB << 20);
    MakeFile(dir + "/store.bin", storeMiB << 20);
    ::chmod((dir + "/root/pub/big.bin").c_str(), 0644);

    int status = 0;
    {
        Vsftpd server(dir);
        if (!server.Up()) {
            std::printf("vsftpd did not start\n");
            status = 1;
        } else {
            const int port = server.Port();
            std::printf("FTP transfers on 127.0.0.1, median of %d (ratio = curl time / tavsock time)\n", runs);
            for (const bool passive : {true, false}) {
                const std::string label = "RETR " + std::to_string(retrieveMiB) + " MiB " + (passive ? "passive" : "active");
                Compare(label.c_str(), runs, static_cast<double>(retrieveMiB),
                        [&] { return Ours(port, passive, false, "pub/big.bin", "/dev/null"); },
                        [&] { return Curl(port, passive, false, "pub/big.bin", "/dev/null"); });
            }
            // The same names each run (written over), so the uploads take a bounded room.
            const std::string label = "STOR " + std::to_string(storeMiB) + " MiB passive";
            Compare(label.c_str(), runs, static_cast<double>(storeMiB),
                    [&] { return Ours(port, true, true, "upload/ours.bin", dir + "/store.bin"); },
                    [&] { return Curl(port, true, true, "upload/curl.bin", dir + "/store.bin"); });

            // Memory: file to file, both ways, with the big file.
            const double down = Ours(port, true, false, "pub/big.bin", dir + "/copy.bin");
            const double up = Ours(port, true, true, "upload/copy.bin", dir + "/copy.bin");
            rusage usage{};
            ::getrusage(RUSAGE_SELF, &usage);
            std::printf("peak resident memory over %lld MiB file-to-file RETR and STOR: %.1f MiB (%s)\n",
                        static_cast<long long>(retrieveMiB), usage.ru_maxrss / 1024.0,
                        down > 0 && up > 0 ? "both transfers ok" : "a transfer FAILED");
        }
    }
    return status;
}
