#pragma once

#include <QStringList>

// Collects what the code under test logs while the object lives (any thread), and puts the previous message handler
// back afterwards. Only one capture may be active at a time.
class MessageCapture
{
public:
    MessageCapture();
    ~MessageCapture();
    Q_DISABLE_COPY(MessageCapture)

    // Texts logged at the given level, in order.
    QStringList messages(QtMsgType type) const;
    QStringList warnings() const
    {
        return messages(QtWarningMsg) + messages(QtCriticalMsg) + messages(QtFatalMsg);
    }
    bool contains(QtMsgType type, const QString &text) const { return !messages(type).filter(text).isEmpty(); }
};
