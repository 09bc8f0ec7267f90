// Whole-file reads and safe output files for the tools and the stores.
//
// OutputFile writes a regular file through a uniquely named temporary in the
// target's folder and renames it into place on Commit, so a failed or
// interrupted write never leaves a partial output and never touches a file
// that merely happens to sit next to the target. Anything that is not a
// regular file is written in place instead: "-" is standard output, and a
// device or FIFO is opened and written, never replaced. A symbolic link is
// written through: its target is replaced, the link stays. An empty path and
// "-" with standard output closed are refused with the texts above.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace platform {

enum class ReadStatus { Ok, OpenFailed, ReadFailed, TooLarge, NotPlainFile };

// The reasons these functions give for an empty path and for "-" when
// standard output is closed.
inline constexpr char kEmptyFileName[] = "empty file name";
inline constexpr char kStandardOutputClosed[] = "standard output is closed";

// Reads all of `path` into `data`. A regular file's size is checked before a
// byte is read; anything else (a FIFO, /dev/zero) is read until it passes
// `maxSize`. `error` names the path and the cause on failure.
ReadStatus ReadWholeFile(const std::string& path, size_t maxSize, std::vector<uint8_t>& data, std::string& error);

// As ReadWholeFile, for a file that must be a plain file: a symbolic link
// is not followed ("PATH: is a symbolic link"), and a FIFO, device or folder
// is refused without waiting on it ("PATH: is not a plain file"); both give
// NotPlainFile. (Windows: opened with FILE_FLAG_OPEN_REPARSE_POINT and
// checked to be a disk file without a reparse point.)
ReadStatus ReadPlainFile(const std::string& path, size_t maxSize, std::vector<uint8_t>& data, std::string& error);

// Creates `path` as a new plain file, never through a link and never over
// anything that exists there, writes all of `data` and makes it durable
// before returning. On failure nothing is left at `path` and `error` says
// why ("PATH: reason").
bool WriteNewFile(const std::string& path, std::span<const uint8_t> data, std::string& error);

// Gives a closed standard stream (0, 1 or 2) a descriptor that refuses
// writes, so that no file the program opens takes its place and what is
// printed to it still fails. Call first thing in main.
void ReserveStandardStreams();

// True when standard output is closed, or open for reading only (as
// ReserveStandardStreams leaves a closed one).
bool StandardOutputClosed();

// Flushes standard output (stdio and iostreams alike) and tells whether all
// that was printed reached it; `error` says why not ("standard output is
// closed", "standard output: No space left on device").
bool FinishStandardOutput(std::string& error);
// What a program's main returns last: FinishStandardOutput, and when it
// fails, "PROGRAM: reason" on standard error and status 1 instead of 0.
int FinishProgram(const char* program, int status);
// From now on FinishProgram leaves the status as it is when standard output
// fails: the program knew it had lost its output while a unit was written,
// logged that and went on, and its status says whether the unit was updated.
void KeepStatusDespiteLostOutput();

// Writes every byte, retrying interrupted and short writes.
bool WriteAll(int fd, std::span<const uint8_t> data);

// True when `output` exists and is the same file as `input` (through links,
// and "-" as standard output).
bool SameFile(const std::string& input, const std::string& output);

class OutputFile {
public:
    // Null on failure with `error` set ("PATH: reason").
    static std::unique_ptr<OutputFile> Open(const std::string& path, std::string& error);

    // Removes the temporary unless Commit succeeded.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    int Fd() const { return m_fd; }
    bool Write(std::span<const uint8_t> data);
    // Closes the file and, for a regular target, renames the temporary over
    // it with the mode of the file it replaces (or the umask's for a new one).
    bool Commit();
    // "PATH: reason" of the last failure.
    const std::string& Error() const { return m_error; }

    // The temporary's path (empty when writing in place); for tests.
    const std::string& TempPath() const { return m_temp; }

private:
    OutputFile() = default;
    void Fail(const std::string& path);

    std::string m_target;  // the file replaced on Commit (links resolved)
    std::string m_temp;
    std::string m_error;
    int m_fd = -1;
    int m_slot = -1;  // the signal-cleanup entry of the temporary
    unsigned m_mode = 0;
    bool m_committed = false;
};

}  // namespace platform
