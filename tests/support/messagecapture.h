#ifndef MESSAGECAPTURE_H
#define MESSAGECAPTURE_H

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Collects what the code under test logs while the object lives (any
// thread), and puts the previous message handler back afterwards. Only one
// capture may be active at a time.
class MessageCapture
{
public:
    MessageCapture();
    ~MessageCapture();
    MessageCapture(const MessageCapture &) = delete;
    MessageCapture &operator=(const MessageCapture &) = delete;

    // Texts logged at the given level, in order.
    QStringList messages(QtMsgType type) const;
    // Texts logged at warning level or above.
    QStringList warnings() const;
    void clear();
    // True when some message of that level contains the text.
    bool contains(QtMsgType type, const QString &text) const;
};

#endif // MESSAGECAPTURE_H
