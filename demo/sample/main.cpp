// A stand-in for one of the family's programs. It writes its arguments and
// working folder to last_run.txt beside itself and prints them.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTextStream>
#include <QThread>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList lines;
    lines << QStringLiteral("cwd=") + QDir::currentPath();
    const QStringList args = QCoreApplication::arguments().mid(1);
    for (const QString &arg : args)
        lines << QStringLiteral("arg=") + arg;
    const QString record = QCoreApplication::applicationDirPath() + QStringLiteral("/last_run.txt");
    QFile file(record);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        QTextStream out(&file);
        out.setCodec("UTF-8");
        out << lines.join(QLatin1Char('\n')) << '\n';
    }
    QTextStream(stdout) << QStringLiteral("sample program started: ") << lines.join(QStringLiteral("; ")) << '\n';
    // "--stay" keeps it running for a while, as a user's open program would.
    if (args.contains(QStringLiteral("--stay")))
        QThread::sleep(60);
    return 0;
}
