#ifndef FILERELAY_H
#define FILERELAY_H

class QDir;

// The whole copy of a self-update: FileSettings' from_path over to_path, both
// taken relative to the folder above the copier's own folder unless absolute.
// True when every file arrived.
bool fileRelays();

// Copies the tree of source over target. Existing files whose names contain
// "config.ini" are kept; files that cannot be replaced yet (the updater may
// still be letting go of them) are retried in 20 passes a second apart.
// False when anything was left behind; the rest is still copied.
bool fileRelays(const QDir &source, const QDir &target);

#endif // FILERELAY_H
