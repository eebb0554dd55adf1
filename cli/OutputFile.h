#pragma once

// Every file a command writes goes through here, so an output never damages
// what it replaces:
// - "-" is standard output; a name that denotes an open descriptor
//   (/dev/stdout, /dev/fd/N) and any existing OUT that is not a regular file
//   (a device node, a FIFO, a socket) is written in place, never renamed over;
// - a symlink is written through to the file it points to, and stays a link;
// - a regular file is replaced through an unpredictable temporary name made
//   exclusively in its folder, flushed to disk, given the mode the old file
//   had, then renamed over it; on any failure it is removed and OUT keeps its
//   earlier content.
// Failures print "korvalis: OUT: reason" (one line) and answer false; what
// the writer throws is passed on, after its temporary file is removed.
//
// On Windows (OutputFileWindows.cpp) names are UTF-8, opened as UTF-16; "-"
// is standard output; a device (NUL, CON, COM1) or a pipe is written in
// place; a file, a link followed to its target, is replaced through a
// temporary file made exclusively in its folder with ReplaceFileW, which
// keeps the old file's attributes and permissions (MoveFileExW for a new
// one); a read-only file is refused.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace korvalis::cli {

// Where a writer puts its bytes. Buffered; the first failure sticks and the
// rest is dropped, so a writer need not check each call.
#ifdef _WIN32
using TOutputHandle = void*; // a HANDLE
#else
using TOutputHandle = int; // a descriptor
#endif

class TOutputSink {
  public:
    explicit TOutputSink(TOutputHandle handle) : FHandle(handle) {}
    TOutputSink(const TOutputSink&) = delete;
    TOutputSink& operator=(const TOutputSink&) = delete;

    void Write(const void* data, size_t size);
    void Write(std::span<const uint8_t> bytes) { Write(bytes.data(), bytes.size()); }
    // Writes what is buffered; answers false once anything failed.
    bool Flush();
    // The system's code of the first failure (errno; GetLastError() on
    // Windows), 0 while all went well.
    int Error() const { return FError; }

    // For a file that is synced once complete: each part written goes to the disk
    // at once, while the rest is still being made, and the final sync waits less.
    void StartWritingToDisk() { FStartWriteback = true; }

    // True when the bytes go to a temporary file that replaces the output only
    // once the writer is done: a writer that fails half way (throws, or the
    // sink fails) leaves nothing behind, so it may write before it has all.
    // Written in place (standard output, a device), every byte stays.
    bool DiscardedOnFailure() const { return FDiscardedOnFailure; }
    void DiscardOnFailure() { FDiscardedOnFailure = true; }

  private:
    void WriteThrough(const uint8_t* data, size_t size);

    TOutputHandle FHandle;
    int FError = 0;
    bool FStartWriteback = false;
    bool FDiscardedOnFailure = false;
    uint64_t FWritten = 0;
    std::string FBuffer;
};

bool WriteOutputFile(const std::string& fileName, const std::function<void(TOutputSink&)>& writer);
bool WriteOutputFile(const std::string& fileName, std::span<const uint8_t> bytes);

} // namespace korvalis::cli
