#include "systemtext.h"

#include <QCoreApplication>

namespace {

struct Phrase
{
    const char *system;
    const char *russian;
};

// A text that holds another one comes before it ("Destination file exists"
// before "File exists"). Windows texts are those of an English system; a
// Russian Windows already answers in Russian.
const Phrase kPhrases[] = {
    {"Destination file exists", "файл назначения уже существует"},
    // errno texts (glibc; Qt's own spelling for the first four)
    {"No such file or directory", "нет такого файла или папки"},
    {"Permission denied", "нет доступа"},
    {"No space left on device", "на диске нет свободного места"},
    {"Too many open files", "открыто слишком много файлов"},
    {"Disk quota exceeded", "превышена дисковая квота"},
    {"Read-only file system", "файловая система доступна только для чтения"},
    {"Operation not permitted", "операция не разрешена"},
    {"Device or resource busy", "файл или устройство заняты"},
    {"Text file busy", "файл занят запущенной программой"},
    {"Input/output error", "ошибка ввода-вывода"},
    {"File name too long", "слишком длинное имя файла"},
    {"Directory not empty", "папка не пуста"},
    {"Is a directory", "это папка, а не файл"},
    {"Not a directory", "это не папка"},
    {"File too large", "файл слишком большой"},
    {"File exists", "файл уже существует"},
    {"Invalid cross-device link", "перенос между дисками невозможен"},
    // Windows texts
    {"The system cannot find the file specified", "нет такого файла"},
    {"The system cannot find the path specified", "нет такой папки"},
    {"Access is denied", "нет доступа"},
    {"The process cannot access the file because it is being used by another process",
     "файл занят другой программой"},
    {"There is not enough space on the disk", "на диске нет свободного места"},
    // Qt's network texts, untranslated where no Qt translation is loaded
    {"Connection refused", "в соединении отказано"},
    {"Connection timed out", "время ожидания соединения истекло"},
    {"Socket operation timed out", "время ожидания истекло"},
    {"Host not found", "сервер не найден"},
    {"Network unreachable", "сеть недоступна"},
    {"Unknown error", "неизвестная ошибка"},
};

} // namespace

QString russianSystemText(const QString &text)
{
    QString result = text;
    for (const Phrase &phrase : kPhrases) {
        const QString system = QLatin1String(phrase.system);
        int at = result.indexOf(system, 0, Qt::CaseInsensitive);
        while (at >= 0) {
            int length = system.size();
            // Windows ends its texts in a full stop; the line around it may go on.
            if (at + length + 1 == result.size() && result.at(at + length) == QLatin1Char('.'))
                ++length;
            const QString russian = QCoreApplication::translate("systemtext", phrase.russian);
            result.replace(at, length, russian);
            at = result.indexOf(system, at + russian.size(), Qt::CaseInsensitive);
        }
    }
    return result;
}
