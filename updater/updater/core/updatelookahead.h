#ifndef UPDATELOOKAHEAD_H
#define UPDATELOOKAHEAD_H

#include <QString>
#include <QVector>

#include <functional>
#include <memory>

class PackFetcher;

// Decides ahead of a module's file loop which files have to be replaced, on
// worker threads: a size check, or a SHA-1 of the installed file when hashes
// are compared. A file found to need replacing is queued with the fetcher at
// once, so its download overlaps the loop's work on earlier files.
//
// Only reads happen here; every change on disk, and every signal, stays in
// the loop and in its order. Items the loop must decide itself (a target
// named twice in one document, entries marked for deletion, refused entries)
// are left out with evaluate = false.
class UpdateLookahead
{
public:
    struct Item
    {
        bool evaluate = false;
        QString target;
        QString hash;
        qint64 size = 0;
        bool protectedName = false; // in the module's doNotDelete list
        // Where the file comes from, when it has to be replaced.
        QString source;
        QString tempPath;
    };

    UpdateLookahead(const QVector<Item> &items, bool compareHash, PackFetcher *fetcher, int threads = 2);
    ~UpdateLookahead(); // stops the workers (a file being hashed is finished)
    UpdateLookahead(const UpdateLookahead &) = delete;
    UpdateLookahead &operator=(const UpdateLookahead &) = delete;

    // Whether item index has to be replaced; waits for the workers. Must be
    // asked in increasing index order, for items with evaluate set.
    bool needUpdate(int index);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// Sizes of the installed files while files are compared by size alone (the
// document did not change), read ahead of a module's file loop on a worker
// thread: the loop and the worker share the system calls, which are nearly
// all the check costs, and neither waits for the other. A size read before
// the loop last changed something on disk is read again, so the loop decides
// as if it had read every size itself, in order.
class SizePrefetch
{
public:
    // Entry index is the file nameOf(index) in folders[folderOf(index)];
    // folderOf gives -1 for entries the loop does not ask about. Both are
    // called on the worker thread: they may only read what the loop does not
    // change while it runs.
    SizePrefetch(int count, const QVector<QString> &folders, std::function<int(int)> folderOf,
                 std::function<QString(int)> nameOf);
    ~SizePrefetch(); // stops the worker (a call under way is finished)
    SizePrefetch(const SizePrefetch &) = delete;
    SizePrefetch &operator=(const SizePrefetch &) = delete;

    // For the loop: whether the file of entry index exists, and its size.
    bool fileSize(int index, qint64 *size);

    // The loop changed files on disk: what was read until now is stale.
    void invalidate();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// True when the local file must be replaced: missing, of another size, or,
// when hashes are compared, with another digest (SHA-256 for a hash of 64
// digits, SHA-1 otherwise).
bool fileNeedsUpdate(const QString &path, const QString &hash, qint64 size, bool compareHash);

#endif // UPDATELOOKAHEAD_H
