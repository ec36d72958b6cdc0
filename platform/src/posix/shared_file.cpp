#include "shared_file.hpp"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <utility>
#include <vector>

namespace platform::posix {

namespace {

constexpr std::string_view kDirectory = "/dev/shm/";
constexpr std::string_view kPrefix = "qz121032-";
constexpr std::string_view kGuardSuffix = ".lock";
constexpr std::size_t kMaxFileName = 255;  // NAME_MAX

// Owns a file descriptor.
class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_;
};

SystemError error(std::string what, int code) {
    return SystemError{std::move(what), code};
}

// Names are used as given on Windows ("Local\\X", spaces and all). Here every byte outside
// [A-Za-z0-9_-] becomes %XX: the mapping is one-to-one, the result has no slash, and '.'
// stays free for the guard suffix.
std::string escape(std::string_view name) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(name.size());
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                           (byte >= '0' && byte <= '9') || byte == '_' || byte == '-';
        if (plain) {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(digits[byte >> 4]);
            out.push_back(digits[byte & 0x0F]);
        }
    }
    return out;
}

Result<std::string> data_path(std::string_view kind, const std::string& name) {
    if (name.empty()) {
        return unexpected(error("shared object names must not be empty", EINVAL));
    }
    std::string file(kPrefix);
    file += kind;
    file += '-';
    file += escape(name);
    if (file.size() + kGuardSuffix.size() > kMaxFileName) {
        return unexpected(error("shared object name too long: " + name, ENAMETOOLONG));
    }
    return std::string(kDirectory) + file;
}

std::string guard_path(const std::string& data_path) {
    return data_path + std::string(kGuardSuffix);
}

// flock, restarted when a signal interrupts it. Returns 0 or the errno value.
int flock_retrying(int fd, int operation) noexcept {
    for (;;) {
        if (::flock(fd, operation) == 0) {
            return 0;
        }
        if (errno != EINTR) {
            return errno;
        }
    }
}

bool same_file(const struct stat& a, const struct stat& b) noexcept {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Takes the exclusive lock on the guard file and returns its descriptor; closing it
// releases the lock.
Result<UniqueFd> lock_guard(const std::string& path) {
    for (;;) {
        UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (fd.get() < 0) {
            return unexpected(error("cannot open " + path, errno));
        }
        if (int e = flock_retrying(fd.get(), LOCK_EX); e != 0) {
            return unexpected(error("cannot lock " + path, e));
        }
        struct stat locked {};
        struct stat named {};
        if (::fstat(fd.get(), &locked) != 0) {
            return unexpected(error("cannot stat " + path, errno));
        }
        if (::stat(path.c_str(), &named) == 0) {
            if (same_file(locked, named)) {
                return fd;
            }
        } else if (errno != ENOENT) {
            return unexpected(error("cannot stat " + path, errno));
        }
        // The last closer of the block unlinked this guard file while we waited for it;
        // the next round locks the current one.
    }
}

// Removes the data file if the path still names the file behind fd, and the guard file.
// Called under the guard by the last holder.
void remove_files(int fd, const std::string& path) noexcept {
    struct stat held {};
    struct stat named {};
    if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 && same_file(held, named)) {
        ::unlink(path.c_str());
    }
    ::unlink(guard_path(path).c_str());
}

// Removes the files whose holders all died: a killed last holder cannot unlink its file,
// which stays until its name is opened again, and names that are never opened again (unique
// per run, for example) would pile up. Each file is treated as its last closer would treat
// it, but without waiting: a busy guard or a held data file is skipped.
void remove_abandoned_files() noexcept {
    std::vector<std::string> guards;
    if (DIR* directory = ::opendir(std::string(kDirectory).c_str())) {
        while (const dirent* entry = ::readdir(directory)) {
            const std::string_view file = entry->d_name;
            if (file.starts_with(kPrefix) && file.ends_with(kGuardSuffix)) {
                guards.emplace_back(file);
            }
        }
        ::closedir(directory);
    }
    for (const auto& guard_file : guards) {
        const std::string guard = std::string(kDirectory) + guard_file;
        const std::string data = guard.substr(0, guard.size() - kGuardSuffix.size());
        UniqueFd guard_fd(::open(guard.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
        struct stat locked {};
        struct stat named {};
        if (guard_fd.get() < 0 || ::flock(guard_fd.get(), LOCK_EX | LOCK_NB) != 0 ||
            ::fstat(guard_fd.get(), &locked) != 0 || ::stat(guard.c_str(), &named) != 0 ||
            !same_file(locked, named)) {
            continue;
        }
        UniqueFd data_fd(::open(data.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
        if (data_fd.get() < 0) {
            // A guard without its data file: its last closer died between the two unlinks.
            if (errno == ENOENT) {
                ::unlink(guard.c_str());
            }
            continue;
        }
        if (::flock(data_fd.get(), LOCK_EX | LOCK_NB) == 0) {
            remove_files(data_fd.get(), data);
        }
    }
}

}  // namespace

Result<std::unique_ptr<SharedFile>> SharedFile::open(std::string_view kind, const std::string& name,
                                                     std::size_t size, Initialiser initialise) {
    if (size == 0) {
        return unexpected(error("shared block size must not be zero: " + name, EINVAL));
    }
    auto path = data_path(kind, name);
    if (!path) {
        return unexpected(std::move(path).error());
    }
    static std::once_flag swept;
    std::call_once(swept, remove_abandoned_files);

    auto guard = lock_guard(guard_path(*path));
    if (!guard) {
        return unexpected(std::move(guard).error());
    }

    UniqueFd fd(::open(path->c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd.get() < 0) {
        return unexpected(error("cannot open " + *path, errno));
    }

    bool created = false;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
        // Nobody holds the file: start afresh. Truncating to zero drops every page; growing
        // again reads as zeros; reserving the pages now reports a full /dev/shm here rather
        // than as SIGBUS on first write.
        int e = 0;
        if (::ftruncate(fd.get(), 0) != 0 || ::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
            e = errno;
        } else {
            e = ::posix_fallocate(fd.get(), 0, static_cast<off_t>(size));
        }
        if (e != 0) {
            remove_files(fd.get(), *path);
            return unexpected(error("cannot size " + *path, e));
        }
        created = true;
    } else if (errno == EWOULDBLOCK) {
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0) {
            return unexpected(error("cannot stat " + *path, errno));
        }
        if (static_cast<std::size_t>(st.st_size) != size) {
            return unexpected(error("shared block " + name + " exists with another size", EINVAL));
        }
        // Only shared locks are held (exclusive ones are taken under the guard, which we
        // hold), so this does not wait.
        if (int e = flock_retrying(fd.get(), LOCK_SH); e != 0) {
            return unexpected(error("cannot lock " + *path, e));
        }
    } else {
        return unexpected(error("cannot lock " + *path, errno));
    }

    void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (data == MAP_FAILED) {
        const int e = errno;
        if (created) {
            remove_files(fd.get(), *path);
        }
        return unexpected(error("cannot map " + *path, e));
    }

    if (created) {
        int e = initialise != nullptr ? initialise(data, size) : 0;
        // Converting the exclusive lock to shared drops it and takes the shared one; nobody
        // can slip in between, because every exclusive attempt happens under the guard.
        if (e == 0) {
            e = flock_retrying(fd.get(), LOCK_SH);
        }
        if (e != 0) {
            ::munmap(data, size);
            remove_files(fd.get(), *path);
            return unexpected(error("cannot initialise " + *path, e));
        }
    }

    return std::unique_ptr<SharedFile>(
        new SharedFile(fd.release(), data, size, created, std::move(*path)));
    // The guard is released here, after this holder's shared lock is in place.
}

SharedFile::SharedFile(int fd, void* data, std::size_t size, bool created,
                       std::string path) noexcept
    : fd_(fd), data_(data), size_(size), created_(created), path_(std::move(path)) {}

SharedFile::~SharedFile() {
    ::munmap(data_, size_);
    UniqueFd fd(fd_);
    // Without the guard, the file is left behind with no holder; the next opener finds it
    // unheld and starts it afresh.
    auto guard = lock_guard(guard_path(path_));
    if (guard && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
        // Nobody else holds a shared lock: this is the last holder. (A failed attempt drops
        // our shared lock, which is what closing does anyway.)
        remove_files(fd.get(), path_);
    }
    fd.reset();
    // The guard is released here.
}

}  // namespace platform::posix
