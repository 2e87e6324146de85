#pragma once

#include <QString>

// Keeps a file system entry from being deleted, renamed or replaced, the way a file still open in a running program is
// on Windows. On Linux a running program's files can be unlinked, so the hold uses what really blocks here: the
// immutable attribute (chattr +i) for root, who ignores permissions, and a read-only folder otherwise.
class FileHold
{
public:
    enum Kind {
        Entry,  // the entry itself cannot be deleted, renamed or replaced
        Contents // nothing can be created, deleted or renamed inside the folder
    };

    FileHold() = default;
    ~FileHold() { release(); }
    Q_DISABLE_COPY(FileHold)

    // True when holds work in this folder (tries one on a probe file). besideWritable: new files can still be made
    // beside a held entry, as beside a file open on Windows; without root a hold makes the folder read-only instead.
    static bool isAvailable(const QString &folder, QString *why = nullptr, bool besideWritable = false);

    bool hold(const QString &path, Kind kind, QString *error = nullptr);
    bool release();
    bool isHeld() const { return m_held; }

private:
    QString m_target; // what carries the attribute or the permissions
    bool m_immutable = false;
    bool m_held = false;
};
