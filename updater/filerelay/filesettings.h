#ifndef FILESETTINGS_H
#define FILESETTINGS_H

#include <QMap>
#include <QString>
#include <QVariant>

// The copier's settings: values given on the command line for this run,
// then the read-only INI file (UTF-8), then the built-in defaults.
class FileSettings
{
public:
    // Tests make stores of their own; the program uses instance().
    FileSettings() = default;
    static FileSettings &instance();

    void setConfigPath(const QString &path);
    QString configPath() const { return m_configPath; }
    bool isConfigured() const { return m_configured; }

    void setRuntimeValue(const QString &group, const QString &key, const QVariant &value);
    // Runtime value, else the file's value (an empty group or "General"
    // means the file's [General] section), else defaultValue.
    QVariant value(const QString &group, const QString &key, const QVariant &defaultValue = QVariant()) const;

    QString fromPath() const;
    QString toPath() const;
    // Today's log folder: the logs base + "/" + yyyy_MM, created when missing.
    QString logsPath() const;

private:
    QMap<QString, QMap<QString, QVariant>> m_runtimeValues;
    QString m_configPath;
    bool m_configured = false;
};

#endif // FILESETTINGS_H
