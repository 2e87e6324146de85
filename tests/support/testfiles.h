#pragma once

#include <QStringList>

// Small helpers for building and comparing trees of real files in tests.
bool writeFile(const QString &path, const QByteArray &content); // creates parent folders
QByteArray readFile(const QString &path);
// Lower-case hex SHA-1 of bytes, as file-information documents carry it.
QString sha1Hex(const QByteArray &bytes);
// Deterministic pseudo-random bytes for a seed.
QByteArray patternBytes(qint64 size, quint32 seed = 1);
// Relative paths of all files below root, sorted.
QStringList listFilesRecursive(const QString &root);
// True when both trees hold the same relative files with equal bytes, but for the names only a holds (compared by name
// only); the first difference is described in why.
bool treesEqual(const QString &a, const QString &b, QString *why = nullptr, const QStringList &onlyInA = {});
