// fetchFile against curl: the same small files from nginx on 127.0.0.1,
// ours one fetchFile call after another, curl in one keep-alive invocation
// with a config file of URLs and outputs. bench_transfer [FILES] [SIZE] [ROUNDS]
#include "nginxserver.h"
#include "settings.h"
#include "testfiles.h"
#include "transfer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QVector>

#include <algorithm>

#include <sys/resource.h>

namespace {

QString name(int i)
{
    return QStringLiteral("f%1.bin").arg(i, 5, 10, QLatin1Char('0'));
}

// CPU seconds (user + system) used so far by this process or by its
// finished children: unlike wall time, hardly moved by other load.
double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool sameFiles(const QString &a, const QString &b, int count)
{
    for (int i = 0; i < count; ++i) {
        if (readFile(a + QLatin1Char('/') + name(i)) != readFile(b + QLatin1Char('/') + name(i)))
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int count = args.size() > 1 ? args.at(1).toInt() : 2000;
    const int size = args.size() > 2 ? args.at(2).toInt() : 4096;
    const int rounds = args.size() > 3 ? qMax(1, args.at(3).toInt()) : 5;
    QTextStream out(stdout);
    QTextStream err(stderr);

    const QString curl = findExecutable({QStringLiteral("/usr/bin/curl"), QStringLiteral("curl")});
    if (curl.isEmpty() || !NginxServer::isAvailable()) {
        err << "curl and nginx are needed\n";
        return 2;
    }
    QTemporaryDir work;
    const QString www = work.filePath(QStringLiteral("www"));
    for (int i = 0; i < count; ++i)
        writeFile(www + QLatin1Char('/') + name(i), patternBytes(size, quint32(i + 1)));
    NginxServer nginx;
    nginx.setRoot(www);
    QString error;
    if (!nginx.start(&error)) {
        err << "nginx: " << error << "\n";
        return 2;
    }
    // The default limit, set once here as start-up would leave it; the bench
    // measures transfers, not config.ini lookups.
    Settings::instance()->setRuntimeValue(QStringLiteral("General"), QStringLiteral("transfer_stall_timeout"), 60);

    qint64 bestCurl = -1;
    qint64 bestOurs = -1;
    double curlCpu = 0;
    double oursCpu = 0;
    QVector<double> roundRatios;
    for (int round = 0; round < rounds; ++round) {
        const QString curlDir = work.filePath(QStringLiteral("curl%1").arg(round));
        const QString oursDir = work.filePath(QStringLiteral("ours%1").arg(round));
        QDir().mkpath(curlDir);
        QDir().mkpath(oursDir);

        QFile config(work.filePath(QStringLiteral("curl%1.cfg").arg(round)));
        config.open(QIODevice::WriteOnly | QIODevice::Truncate);
        for (int i = 0; i < count; ++i) {
            config.write(QStringLiteral("url = \"%1/%2\"\noutput = \"%3/%2\"\n")
                             .arg(nginx.baseUrl(), name(i), curlDir)
                             .toUtf8());
        }
        config.close();

        // Who goes first alternates, so neither side always meets a colder
        // server or file system.
        auto runCurl = [&]() -> qint64 {
            const double cpu = cpuSeconds(RUSAGE_CHILDREN);
            QElapsedTimer timer;
            timer.start();
            QProcess process;
            process.start(curl, {QStringLiteral("-s"), QStringLiteral("-f"), QStringLiteral("-K"), config.fileName()});
            if (!process.waitForFinished(600000) || process.exitCode() != 0) {
                err << "curl failed: " << process.readAllStandardError() << "\n";
                return -1;
            }
            const qint64 ns = timer.nsecsElapsed();
            curlCpu += cpuSeconds(RUSAGE_CHILDREN) - cpu;
            return ns;
        };
        auto runOurs = [&]() -> qint64 {
            const double cpu = cpuSeconds(RUSAGE_SELF);
            QElapsedTimer timer;
            timer.start();
            for (int i = 0; i < count; ++i) {
                if (!fetchFile(nginx.baseUrl() + QLatin1Char('/') + name(i), oursDir + QLatin1Char('/') + name(i),
                               &error)) {
                    err << "fetchFile failed: " << error << "\n";
                    return -1;
                }
            }
            const qint64 ns = timer.nsecsElapsed();
            oursCpu += cpuSeconds(RUSAGE_SELF) - cpu;
            return ns;
        };
        qint64 curlNs = 0;
        qint64 oursNs = 0;
        if (round % 2 == 0) {
            curlNs = runCurl();
            oursNs = runOurs();
        } else {
            oursNs = runOurs();
            curlNs = runCurl();
        }
        if (curlNs < 0 || oursNs < 0)
            return 1;

        if (!sameFiles(www, curlDir, count) || !sameFiles(www, oursDir, count)) {
            err << "downloaded files differ from the served ones\n";
            return 1;
        }
        roundRatios.append(double(oursNs) / double(curlNs));
        if (bestCurl < 0 || curlNs < bestCurl)
            bestCurl = curlNs;
        if (bestOurs < 0 || oursNs < bestOurs)
            bestOurs = oursNs;
        QDir(curlDir).removeRecursively();
        QDir(oursDir).removeRecursively();
    }
    nginx.stop();

    out << QStringLiteral("files: %1 of %2 bytes, best of %3 rounds\n").arg(count).arg(size).arg(rounds);
    out << QStringLiteral("curl (one keep-alive run): %1 s\n").arg(bestCurl / 1e9, 0, 'f', 3);
    out << QStringLiteral("fetchFile (one by one):    %1 s\n").arg(bestOurs / 1e9, 0, 'f', 3);
    out << QStringLiteral("CPU time, all rounds: curl %1 s, fetchFile %2 s (ratio %3)\n")
               .arg(curlCpu, 0, 'f', 3)
               .arg(oursCpu, 0, 'f', 3)
               .arg(oursCpu / curlCpu, 0, 'f', 2);
    // Both sides of one round run back to back under the same load, so the
    // median of the rounds' ratios is the steadier figure on a busy machine.
    std::sort(roundRatios.begin(), roundRatios.end());
    out << QStringLiteral("median of the rounds' ratios: %1\n").arg(roundRatios.at(roundRatios.size() / 2), 0, 'f', 2);
    out << QStringLiteral("ratio fetchFile/curl: %1 (goal <= 2.5)\n").arg(double(bestOurs) / double(bestCurl), 0, 'f', 2);
    return 0;
}
