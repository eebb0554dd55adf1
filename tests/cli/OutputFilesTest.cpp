// What the korvalis commands do to the file, link, pipe or device node they
// are told to write: never damage it, never leave half an output behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr size_t kBundleSize = 464'896;

const fs::path& Scratch() {
    static const fs::path dir = [] {
        std::string pattern = (fs::temp_directory_path() / "korvalis-out-XXXXXX").string();
        return fs::path(::mkdtemp(pattern.data()));
    }();
    return dir;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

struct TRun {
    int Code = -1;
    std::string Out, Err;
};

// As root, a faulty build told to write /dev/full or /dev/stdout would replace
// the machine's own nodes: the commands then get a /dev of their own, in a
// mount namespace, with the few nodes they use.
bool PrivateDev() {
    static const bool usable =
        ::geteuid() == 0 && std::system("unshare -m true >/dev/null 2>&1") == 0;
    return usable;
}

constexpr const char* kPrivateDev =
    "mount -t tmpfs -o mode=755 tmpfs /dev && mknod -m 666 /dev/null c 1 3 && "
    "mknod -m 666 /dev/zero c 1 5 && mknod -m 666 /dev/full c 1 7 && "
    "mknod -m 666 /dev/random c 1 8 && mknod -m 666 /dev/urandom c 1 9 && "
    "ln -s /proc/self/fd /dev/fd && ln -s /proc/self/fd/0 /dev/stdin && "
    "ln -s /proc/self/fd/1 /dev/stdout && ln -s /proc/self/fd/2 /dev/stderr";

// A shell command line; korvalis is $K in it.
TRun Shell(const std::string& line) {
    fs::create_directories(Scratch());
    const fs::path out = Scratch() / "run.out", err = Scratch() / "run.err",
                   script = Scratch() / "run.sh";
    // In the scratch folder, so a faulty `-o -` leaves its file there.
    WriteFile(script, "cd '" + Scratch().string() + "' && K='" KORVALIS_CLI "'; (" + line + ") >" +
                          out.string() + " 2>" + err.string() + "\n");
    const std::string command = PrivateDev() ? "unshare -m sh -c '" + std::string(kPrivateDev) +
                                                   " && exec sh " + script.string() + "'"
                                             : "sh " + script.string();
    const int status = std::system(command.c_str());
    TRun run;
    run.Code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.Out = ReadFile(out);
    run.Err = ReadFile(err);
    fs::remove(out);
    fs::remove(err);
    fs::remove(script);
    return run;
}

// Reads everything that arrives on fd until the writer hangs up, for at most
// 20 s (a command that never opens the node must not hang the test).
class TCollector {
  public:
    explicit TCollector(int fd, bool listening = false)
        : FThread([this, fd, listening] { Collect(fd, listening); }) {}
    ~TCollector() {
        if (FThread.joinable())
            FThread.join();
    }
    size_t Bytes() {
        FThread.join();
        return FBytes;
    }

  private:
    void Collect(int fd, bool listening) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        bool connected = false;
        int from = fd;
        char buffer[65536];
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{from, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            if (listening && !connected) {
                from = ::accept(fd, nullptr, nullptr);
                connected = from >= 0;
                if (!connected)
                    break;
                continue;
            }
            const ssize_t n = ::read(from, buffer, sizeof buffer);
            if (n > 0)
                FBytes += size_t(n);
            else if (n == 0 || errno != EAGAIN)
                break;
        }
        if (from != fd)
            ::close(from);
        ::close(fd);
    }

    size_t FBytes = 0;
    std::thread FThread;
};

bool IsLink(const fs::path& p) {
    return fs::is_symlink(fs::symlink_status(p));
}

// Leftovers of an output: anything in the folder beyond what the row made.
std::vector<std::string> FolderListing(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

struct TCase {
    const char* Name;
    std::string Command; // OUT is appended
    // Makes what stands at OUT before the run (in the row's own folder) and
    // answers OUT; a skip message instead leaves the row out.
    std::function<std::string(const fs::path& dir, std::string& skip)> Before;
    int Code;
    const char* Error; // a regular expression for all of standard error
    std::function<void(const fs::path& dir, const std::string& out)> After;
};

mode_t Mode(const fs::path& p) {
    struct stat st {};
    ::stat(p.c_str(), &st);
    return st.st_mode & 07777;
}

TEST(OutputFiles, NeverDamageWhatTheyReplace) {
    const std::string reference = (Scratch() / "reference.bin").string();
    ASSERT_EQ(Shell("$K bundle -o " + reference).Code, 0);
    const std::string bundle = ReadFile(reference);
    ASSERT_EQ(bundle.size(), kBundleSize);
    const mode_t mask = ::umask(027);
    std::unique_ptr<TCollector> collector;
    const bool root = ::geteuid() == 0;
    // A character device node of our own, made in the test folder.
    const auto ownNode = [root](const char* name, dev_t device) {
        return [root, name, device](const fs::path& dir, std::string& skip) {
            if (!root)
                skip = "mknod needs root";
            ::mknod((dir / name).c_str(), S_IFCHR | 0666, device);
            return (dir / name).string();
        };
    };

    const TCase cases[] = {
        {"a new file gets the usual mode", "$K bundle -o ",
         [](const fs::path& dir, std::string&) { return (dir / "new.bin").string(); }, 0, "^$",
         [&](const fs::path& dir, const std::string& out) {
             EXPECT_TRUE(ReadFile(out) == bundle) << "content differs";
             EXPECT_EQ(Mode(out), 0640u);
             EXPECT_EQ(FolderListing(dir), std::vector<std::string>{"new.bin"});
         }},
        {"a replaced file keeps its mode", "$K bundle -o ",
         [](const fs::path& dir, std::string&) {
             WriteFile(dir / "old.bin", "old");
             fs::permissions(dir / "old.bin", fs::perms(0604));
             return (dir / "old.bin").string();
         },
         0, "^$",
         [&](const fs::path& dir, const std::string& out) {
             EXPECT_TRUE(ReadFile(out) == bundle) << "content differs";
             EXPECT_EQ(Mode(out), 0604u);
             EXPECT_EQ(FolderListing(dir), std::vector<std::string>{"old.bin"});
         }},
        {"a symlink is written through and stays a link", "$K bundle -o ",
         [](const fs::path& dir, std::string&) {
             fs::create_directory(dir / "real");
             WriteFile(dir / "real" / "target.bin", "old");
             fs::create_symlink("real/target.bin", dir / "link.bin");
             return (dir / "link.bin").string();
         },
         0, "^$",
         [&](const fs::path& dir, const std::string& out) {
             EXPECT_TRUE(IsLink(out));
             EXPECT_TRUE(ReadFile(dir / "real" / "target.bin") == bundle) << "content differs";
             EXPECT_EQ(FolderListing(dir / "real"), std::vector<std::string>{"target.bin"});
         }},
        {"a link planted at a guessable temporary name is not followed", "$K bundle -o ",
         [](const fs::path& dir, std::string&) {
             WriteFile(dir / "victim", "victim");
             fs::create_symlink(dir / "victim", dir / "out.bin.korvalis-partial");
             fs::create_symlink(dir / "victim", dir / ".out.bin.korvalis-partial");
             return (dir / "out.bin").string();
         },
         0, "^$",
         [&](const fs::path& dir, const std::string& out) {
             EXPECT_EQ(ReadFile(dir / "victim"), "victim");
             EXPECT_TRUE(ReadFile(out) == bundle) << "content differs";
         }},
        {"a FIFO is written in place", "$K bundle -o ",
         [&](const fs::path& dir, std::string&) {
             const fs::path fifo = dir / "fifo";
             ::mkfifo(fifo.c_str(), 0600);
             collector = std::make_unique<TCollector>(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK));
             return fifo.string();
         },
         0, "^$",
         [&](const fs::path&, const std::string& out) {
             EXPECT_TRUE(fs::is_fifo(out));
             EXPECT_EQ(collector->Bytes(), kBundleSize);
         }},
        {"a socket is written in place", "$K preview -o ",
         [&](const fs::path& dir, std::string&) {
             const fs::path path = dir / "socket";
             const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
             sockaddr_un address{};
             address.sun_family = AF_UNIX;
             std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
             EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
             EXPECT_EQ(::listen(fd, 1), 0);
             collector = std::make_unique<TCollector>(fd, true);
             return path.string();
         },
         0, "^$",
         [&](const fs::path&, const std::string& out) {
             EXPECT_TRUE(fs::is_socket(out));
             EXPECT_GT(collector->Bytes(), 1000u);
         }},
        {"/dev/full fails with the device's reason", "$K bundle -o ",
         [](const fs::path&, std::string&) { return std::string("/dev/full"); }, 1,
         "^korvalis: /dev/full: No space left on device\n$",
         [](const fs::path&, const std::string& out) { EXPECT_TRUE(fs::is_character_file(out)); }},
        {"a captured upload to /dev/full fails the same way", "$K upload --simulate --capture ",
         [](const fs::path&, std::string&) { return std::string("/dev/full"); }, 1,
         "^korvalis: /dev/full: No space left on device\n$",
         [](const fs::path&, const std::string& out) { EXPECT_TRUE(fs::is_character_file(out)); }},
        {"a full device node of our own stays a node", "$K bundle -o ",
         ownNode("full", makedev(1, 7)), 1, "^korvalis: .*/full: No space left on device\n$",
         [](const fs::path&, const std::string& out) {
             struct stat st {};
             ASSERT_EQ(::lstat(out.c_str(), &st), 0);
             EXPECT_TRUE(S_ISCHR(st.st_mode));
             EXPECT_EQ(st.st_rdev, makedev(1, 7));
         }},
        {"a null device node of our own stays a node", "$K bundle -o ",
         ownNode("null", makedev(1, 3)), 0, "^$",
         [](const fs::path&, const std::string& out) { EXPECT_TRUE(fs::is_character_file(out)); }},
        {"a missing folder is named with the reason", "$K bundle -o ",
         [](const fs::path& dir, std::string&) { return (dir / "none" / "out.bin").string(); }, 1,
         "^korvalis: .*/none/out\\.bin: cannot create a file in the folder .*/none: No such file "
         "or directory\n$",
         [](const fs::path& dir, const std::string&) { EXPECT_TRUE(FolderListing(dir).empty()); }},
        {"a folder we may not write is named with the reason", "$K bundle -o ",
         [&](const fs::path& dir, std::string& skip) {
             if (root)
                 skip = "root may write into any folder";
             fs::permissions(dir, fs::perms(0555));
             return (dir / "out.bin").string();
         },
         1, "^korvalis: .*/out\\.bin: cannot create a file in the folder .*: Permission denied\n$",
         [](const fs::path& dir, const std::string&) {
             fs::permissions(dir, fs::perms(0755));
             EXPECT_TRUE(FolderListing(dir).empty());
         }},
        {"a write that fails halfway leaves the old file and no temporary",
         "trap '' XFSZ; ulimit -f 100; $K bundle -o ",
         [](const fs::path& dir, std::string&) {
             WriteFile(dir / "kept.bin", "old");
             return (dir / "kept.bin").string();
         },
         1, "^korvalis: .*/kept\\.bin: File too large\n$",
         [](const fs::path& dir, const std::string& out) {
             EXPECT_EQ(ReadFile(out), "old");
             EXPECT_EQ(FolderListing(dir), std::vector<std::string>{"kept.bin"});
         }},
    };
    int index = 0;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const fs::path dir = Scratch() / ("row" + std::to_string(index++));
        fs::create_directory(dir);
        std::string skip;
        const std::string out = c.Before(dir, skip);
        if (!skip.empty()) {
            std::printf("row \"%s\" left out: %s\n", c.Name, skip.c_str());
            continue;
        }
        const TRun run = Shell(c.Command + "'" + out + "'");
        EXPECT_EQ(run.Code, c.Code) << run.Err;
        EXPECT_TRUE(std::regex_search(run.Err, std::regex(c.Error))) << run.Err;
        c.After(dir, out);
        collector.reset();
    }
    ::umask(mask);
    fs::remove_all(Scratch());
}

TEST(OutputFiles, StandardOutputTakesTheWholeOutput) {
    const struct {
        const char* Command;
        const char* Count;
    } rows[] = {
        {"$K bundle -o - | wc -c", "464896\n"},
        {"$K bundle -o /dev/stdout | wc -c", "464896\n"},
        {"$K decode '" KORVALIS_SPLASH "' -o - | wc -c", "230415\n"},
    };
    for (const auto& row : rows) {
        const TRun run = Shell(row.Command);
        EXPECT_EQ(run.Out, row.Count) << row.Command << "\n" << run.Err;
        EXPECT_EQ(run.Err, "") << row.Command;
    }
    fs::remove_all(Scratch());
}

} // namespace
