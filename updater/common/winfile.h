#ifndef WINFILE_H
#define WINFILE_H

// The Windows file calls behind filemove.h and filestat.h. Standard C++ only,
// so that winfile_win.cpp builds with a cross compiler and runs under wine
// without Qt (tests/platform/wincheck.cpp); filemove_win.cpp and
// filestat_win.cpp are the thin Qt side above it. Paths are UTF-16
// (std::wstring), with either kind of separator.

#include <cstdint>
#include <string>

namespace winfile {

// The form of path the wide calls take beyond 260 characters: "\\?\C:\..."
// for a drive, "\\?\UNC\server\share\..." for a share. That form is passed
// on unparsed, so "." and ".." are resolved and "/" turned into "\" here; a
// path already in that form, and a relative one (the system resolves it
// against the current folder), stay as they are.
std::wstring longPath(const std::wstring &path);

// Writes the file's content through to the disk (FlushFileBuffers). False
// when the file cannot be opened for that or the flush fails.
bool flush(const std::wstring &path);

// How often and for how long moveOver tries again while another handle
// holds the destination (a virus scanner, an indexer, a backup agent: they
// let go within moments). Bounded, so that a file held for good costs a run
// about a second and a half, not a hang.
constexpr int kMoveAttempts = 10;
constexpr unsigned kMoveRetryDelayMs = 150;

// Moves from over to in one step (MoveFileExW, write-through), after
// flushing from: to names its old content or the new one at every moment.
// A read-only to is made writable first (it could not be replaced), and the
// hidden attribute of a staging file is not carried over to to. A sharing or
// access refusal is tried again as above; *retries (when given) receives how
// many times. On failure to is untouched, from keeps its attributes and
// error (when given) receives the system's reason.
bool moveOver(const std::wstring &from, const std::wstring &to, int *retries = nullptr, std::wstring *error = nullptr);

// Deletes the file path, also a read-only one. A link is deleted itself, never
// what it leads to. True when the file is gone (also when it was not there).
bool remove(const std::wstring &path, std::wstring *error = nullptr);

// Marks path hidden, as the dot in front of its name does elsewhere.
bool hide(const std::wstring &path);

enum class SizeAnswer
{
    Found,   // *size holds the size (0 for a folder)
    Missing, // nothing there (nor is the folder above)
    Unknown, // a link or junction, or a refusal: ask another way
};

// The size of path from its attributes, in one call.
SizeAnswer fileSize(const std::wstring &path, std::int64_t *size);

} // namespace winfile

#endif // WINFILE_H
