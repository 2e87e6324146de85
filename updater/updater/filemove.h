#ifndef FILEMOVE_H
#define FILEMOVE_H

#include <QString>

// Moves from over to in one step: to names either its old content or the new
// one at every moment, never nothing. Both must be on one volume (the caller
// places from beside to). On failure to keeps its old content and error
// (when given) receives the system's reason.
bool moveFileOver(const QString &from, const QString &to, QString *error = nullptr);

#endif // FILEMOVE_H
