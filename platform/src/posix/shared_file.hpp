#pragma once
// A named file under /dev/shm whose lifetime follows its holders, the way a Windows
// paging-file mapping does: the first opener creates it with zeroed data, the others open
// it, and it is gone when the last holder closes it or dies. SharedMemory uses it for its
// blocks, NamedMutex for the segment that holds its robust mutex.
//
// Liveness rule. Every holder keeps a shared flock on the data file for as long as it
// holds it; the kernel drops that lock when the holder closes the file or dies, however it
// dies (SIGKILL included). Opens and closes are serialised by an exclusive flock on a
// companion guard file ("<data file>.lock"). Under the guard:
//   - an opener that gets an exclusive, non-blocking flock on the data file knows that
//     nobody holds it (the file is new, or left behind by holders that died): it truncates
//     the file to zero and grows it again, which gives zero pages, runs the initialiser,
//     and converts its lock to shared;
//   - otherwise the block is alive: its size must match, and the opener adds its shared
//     lock;
//   - a closer that can convert its shared lock to exclusive is the last holder: it unlinks
//     the data file and the guard file.
// Because the last closer unlinks the guard file, a process that waited for the guard may
// end up locking a file that no longer has a name; after taking the lock it checks that the
// path still names the file it locked, and starts again otherwise.
//
// Not covered: a process that forks without exec shares its parent's open file
// descriptions and so its locks; the block then lives as long as either of them.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "platform/expected.hpp"

namespace platform::posix {

class SharedFile {
  public:
    // Runs under the guard on the zeroed data when this open creates the file. A non-zero
    // return (an errno value) makes the open fail.
    using Initialiser = int (*)(void* data, std::size_t size);

    // kind keeps the name spaces of different objects apart ("shm", "mtx"). Fails with
    // EINVAL when the file exists, is held, and has another size; it is left unchanged.
    static Result<std::unique_ptr<SharedFile>> open(std::string_view kind, const std::string& name,
                                                    std::size_t size,
                                                    Initialiser initialise = nullptr);

    SharedFile(const SharedFile&) = delete;
    SharedFile& operator=(const SharedFile&) = delete;
    ~SharedFile();

    void* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool created() const noexcept { return created_; }

  private:
    SharedFile(int fd, void* data, std::size_t size, bool created, std::string path) noexcept;

    int fd_;
    void* data_;
    std::size_t size_;
    bool created_;
    std::string path_;
};

}  // namespace platform::posix
