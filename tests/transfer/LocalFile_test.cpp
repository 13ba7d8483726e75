// The local file of a transfer, on its own: what each kind of name gets, what a failure
// leaves behind, and the reasons it gives.
#include "transfer/LocalFile.hpp"

#include "transfer/TransferTestUtil.hpp"

#include <sys/socket.h>

using tav::LocalFile;
using namespace transfertest;

namespace {

bool WriteText(LocalFile& f, const std::string& text) {
    return f.Write(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

/// The names in `dir`, hidden ones included (a new file's unique name starts with a dot).
size_t Entries(const TempDir& dir) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()));
}

}  // namespace

// A name that is or may become a regular file gets a new file; a link is replaced, never
// followed; a failure removes the new file and, when the rename waits for completion, leaves
// the old one byte for byte.
TEST(LocalFileTest, NewFileTakesTheNameNowOrWhenComplete) {
    const struct {
        LocalFile::Replace replace;
        bool commit;
        const char *whileWriting, *after;  // what the name holds ("" = absent)
    } cases[] = {
        {LocalFile::Replace::Now, true, "new", "new"},
        {LocalFile::Replace::Now, false, "new", ""},
        {LocalFile::Replace::WhenComplete, true, "old", "new"},
        {LocalFile::Replace::WhenComplete, false, "old", "old"},
    };
    for (const auto& c : cases) {
        for (const bool asLink : {false, true}) {
            SCOPED_TRACE(std::string(c.commit ? "commit" : "discard") + (asLink ? " link" : " file") +
                         (c.replace == LocalFile::Replace::Now ? " now" : " when complete"));
            TempDir dir;
            const std::string name = dir / "out.bin", target = dir / "target";
            WriteFile(target, "old");
            if (asLink)
                fs::create_symlink(target, name);
            else
                fs::rename(target, name);
            std::string error;
            auto f = LocalFile::OpenForWrite(name, c.replace, error);
            ASSERT_NE(f, nullptr) << error;
            EXPECT_TRUE(f->Created());
            ASSERT_TRUE(WriteText(*f, "new"));
            EXPECT_EQ(ReadFile(name), c.whileWriting);
            if (c.commit)
                EXPECT_TRUE(f->Commit()) << f->ErrorText();
            else
                f->Discard();
            const bool oldKept = std::string(c.after) == "old";
            if (*c.after == '\0')
                EXPECT_FALSE(fs::exists(fs::symlink_status(name)));
            else
                EXPECT_EQ(ReadFile(name), c.after);
            EXPECT_EQ(fs::is_symlink(name), oldKept && asLink);
            EXPECT_EQ(ReadFile(target), asLink ? "old" : "");  // a link's target is never written
            EXPECT_EQ(Entries(dir), (asLink ? 1u : 0u) + (*c.after ? 1u : 0u));  // no new file left behind
        }
    }
}

// A name that no longer refers to the new file is never deleted.
TEST(LocalFileTest, DiscardDeletesOnlyItsOwnFile) {
    TempDir dir;
    const std::string name = dir / "f";
    std::string error;
    auto f = LocalFile::OpenForWrite(name, LocalFile::Replace::Now, error);
    WriteFile(dir / "other", "someone else's");
    fs::rename(dir / "other", name);
    f->Discard();
    EXPECT_EQ(ReadFile(name), "someone else's");
}

// Descriptor names write through a duplicate: an append stays an append, a socket works.
// Devices are written in place; directories and readerless FIFOs are refused at once, and
// reads of anything but a regular file; every failure carries the system's reason.
TEST(LocalFileTest, DescriptorsDevicesAndRefusalsWithTheirReasons) {
    TempDir dir;
    const std::string log = dir / "log";
    WriteFile(log, "first line\n");
    const int appending = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    std::string error;
    for (const std::string& name : {"/dev/fd/" + std::to_string(appending), "/proc/self/fd/" + std::to_string(pair[0])}) {
        auto f = LocalFile::OpenForWrite(name, LocalFile::Replace::WhenComplete, error);
        ASSERT_NE(f, nullptr) << name << ": " << error;
        EXPECT_FALSE(f->Created());
        EXPECT_TRUE(WriteText(*f, "appended\n"));
        EXPECT_TRUE(f->Commit());
    }
    ::close(appending);
    EXPECT_EQ(ReadFile(log), "first line\nappended\n");
    char got[16] = {};
    EXPECT_EQ(::read(pair[1], got, sizeof got), 9);
    ::close(pair[0]), ::close(pair[1]);

    auto full = LocalFile::OpenForWrite("/dev/full", LocalFile::Replace::Now, error);
    ASSERT_NE(full, nullptr) << error;
    EXPECT_FALSE(WriteText(*full, "x"));
    EXPECT_EQ(full->ErrorText(), "cannot write /dev/full: No space left on device");
    full->Discard();
    EXPECT_TRUE(fs::is_character_file("/dev/full"));

    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string name, reason;
    } refused[] = {{dir.Path(), "cannot write " + dir.Path() + ": Is a directory"},
                   {fifo, "cannot open " + fifo + ": No such device or address"},
                   {dir / "no/such/folder", "cannot create " + (dir / "no/such/folder") + ": No such file or directory"}};
    for (const auto& r : refused) {
        EXPECT_EQ(LocalFile::OpenForWrite(r.name, LocalFile::Replace::Now, error), nullptr) << r.name;
        EXPECT_EQ(error, r.reason);
    }
    // Uploads read regular files only.
    EXPECT_EQ(LocalFile::OpenForRead(fifo, error), nullptr);
    EXPECT_EQ(error, "cannot read " + fifo + ": not a regular file");
    EXPECT_EQ(LocalFile::OpenForRead(dir / "absent", error), nullptr);
    EXPECT_EQ(error, "cannot read " + (dir / "absent") + ": No such file or directory");
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(Entries(dir), 2u);
}

// Uploads read in any block size, through the read-ahead.
TEST(LocalFileTest, ReadsWholeInAnyBlockSize) {
    TempDir dir;
    const std::string name = dir / "up", data = EveryByteValue(200000);
    WriteFile(name, data);
    for (const size_t block : {size_t{1000}, size_t{4096}, size_t{70000}}) {
        std::string error, read;
        auto f = LocalFile::OpenForRead(name, error);
        ASSERT_NE(f, nullptr) << error;
        EXPECT_EQ(f->Size(), static_cast<int64_t>(data.size()));
        std::vector<uint8_t> buf(block);
        for (int64_t n; (n = f->Read(buf.data(), block)) > 0;) read.append(reinterpret_cast<char*>(buf.data()), n);
        EXPECT_TRUE(read == data) << block;
    }
}
