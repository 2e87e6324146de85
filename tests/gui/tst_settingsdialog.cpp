// The settings dialog against a real config.ini and a real project list.
#include "guitest.h"
#include "settingsdialog.h"

#include <QGroupBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QScrollBar>
#include <QSettings>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QTextCodec>

#include <algorithm>

namespace {

const QString kLabGuid = QStringLiteral("15e5bfdc-78cf-4062-82db-79841f6069b0");
const QString kUnknownGuid = QStringLiteral("00aa0000-0000-4000-8000-000000000001");
const QString kRegGuid = QStringLiteral("5b4a3c2d-1e0f-4a9b-8c7d-6e5f4a3b2c1d");
const QString kUpdaterGuid = QStringLiteral("ac1dba94-cd1b-402a-9679-8390a3929fa2");

QTableWidget *table(SettingsDialog &dialog)
{
    return child<QTableWidget>(&dialog, QStringLiteral("projectsWidget"));
}

// Column 0 (keys) or 1 (names) of the project table, top down.
QStringList column(SettingsDialog &dialog, int column = 0)
{
    QStringList texts;
    for (int row = 0; row < table(dialog)->rowCount(); ++row)
        texts.append(table(dialog)->item(row, column) ? table(dialog)->item(row, column)->text() : QString());
    return texts;
}

QGroupBox *proxyBox(SettingsDialog &dialog)
{
    return child<QGroupBox>(&dialog, QStringLiteral("globalProxyGroupBox"));
}

QLineEdit *edit(SettingsDialog &dialog, const char *name)
{
    return child<QLineEdit>(&dialog, QLatin1String(name));
}

void clickApply(SettingsDialog &dialog)
{
    child(&dialog, QStringLiteral("okButton"))->click();
}

} // namespace

class TestSettingsDialog : public QObject
{
    Q_OBJECT

    UpdaterWorld world;

    // The proxy group as stored: is_need|host|port|user|password.
    QString storedProxy() const
    {
        QSettings ini(world.configPath(), QSettings::IniFormat);
        ini.setIniCodec(QTextCodec::codecForName("UTF-8"));
        QStringList values;
        for (const char *key : {"is_need", "host", "port", "user", "password"})
            values.append(ini.value(QStringLiteral("global_proxy/") + QLatin1String(key)).toString());
        return values.join(QLatin1Char('|'));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(world.writeProject(UpdaterWorld::catalogue()));
        QVERIFY(world.writeConfig({kLabGuid, kUnknownGuid, kRegGuid}));
        world.load();
        QVERIFY(!Settings::instance()->programmDescriptions().isEmpty());
    }

    // Must run before anything writes the proxy group.
    void defaultsWithoutProxySettings()
    {
        SettingsDialog dialog;
        QVERIFY(!proxyBox(dialog)->isChecked());
        for (const char *name : {"proxyHostEdit", "proxyUserEdit", "proxyPasswordEdit"})
            QVERIFY2(edit(dialog, name)->text().isEmpty(), name);
        auto *port = child<QSpinBox>(&dialog, QStringLiteral("proxyPortBox"));
        // Only ports a proxy can have: 999999 was stored and cut to 16959.
        QCOMPARE(QList<int>({port->value(), port->minimum(), port->maximum()}), QList<int>({8080, 1, 65535}));
        clickApply(dialog); // nothing changed, nothing written
        QVERIFY(!QSettings(world.configPath(), QSettings::IniFormat).childGroups().contains(QStringLiteral("global_proxy")));
        QCOMPARE(dialog.result(), 0);
    }

    void keysInStoredOrderWithNames_data()
    {
        QTest::addColumn<int>("section"); // header clicked; -1: none
        QTest::addColumn<int>("clicks");
        QTest::addColumn<QStringList>("keys"); // the first rows, top down
        // The updater's own project is always admitted, after the stored keys.
        const QStringList byKey{kUnknownGuid, kLabGuid, kRegGuid, kUpdaterGuid};
        const QStringList byName{kUnknownGuid, kLabGuid, kUpdaterGuid, kRegGuid};
        const auto reversed = [](QStringList list) { return std::reverse(list.begin(), list.end()), list; };
        // Neither ascending nor descending: the stored order is kept.
        QTest::newRow("stored order") << -1 << 0 << QStringList{kLabGuid, kUnknownGuid, kRegGuid, kUpdaterGuid};
        // Whatever the order, the keys stay above the blank rows.
        QTest::newRow("key header clicked once") << 0 << 1 << byKey;
        QTest::newRow("key header clicked twice") << 0 << 2 << reversed(byKey);
        // The key without a program has no name: it sorts first of the keys.
        QTest::newRow("name header clicked once") << 1 << 1 << byName;
        QTest::newRow("name header clicked twice") << 1 << 2 << reversed(byName);
    }

    void keysInStoredOrderWithNames()
    {
        QFETCH(int, section);
        QFETCH(int, clicks);
        QFETCH(QStringList, keys);
        SettingsDialog dialog;
        QTableWidget *t = table(dialog);
        QCOMPARE(t->rowCount(), SettingsDialog::kMinimumRows);
        child<QTabWidget>(&dialog, QStringLiteral("tabWidget"))->setCurrentIndex(0);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QHeaderView *header = t->horizontalHeader();
        for (int i = 0; i < clicks; ++i) {
            QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier,
                              {header->sectionViewportPosition(section) + header->sectionSize(section) / 2, header->height() / 2});
        }
        QCOMPARE(column(dialog), keys + QStringList(QVector<QString>(t->rowCount() - keys.size()).toList()));
        const QMap<QString, QString> names{{kLabGuid, "Лаборатория"}, {kRegGuid, "Регистратура"}, {kUpdaterGuid, "Программа обновления"}};
        for (int row = 0; row < keys.size(); ++row)
            QCOMPARE(t->item(row, 1)->text(), names.value(keys.at(row)));
        QVERIFY((t->item(0, 0)->flags() & Qt::ItemIsEditable) && !(t->item(0, 1)->flags() & Qt::ItemIsEditable));
        // The name column takes the room: no horizontal scroll bar, and the
        // two columns fill the table's width.
        QVERIFY(!t->horizontalScrollBar()->isVisible());
        QCOMPARE(header->sectionSize(0) + header->sectionSize(1), t->viewport()->width());
        QVERIFY(header->sectionSize(1) > header->sectionSize(0) / 2);
    }

    void proxyValuesWritten()
    {
        {
            // Blanks and tabs around and doubled inside are all simplified;
            // the reload shows what was stored.
            SettingsDialog dialog;
            proxyBox(dialog)->setChecked(true);
            edit(dialog, "proxyHostEdit")->setText(QStringLiteral("  10.0  .0.1  "));
            edit(dialog, "proxyUserEdit")->setText(QStringLiteral("\tivanov\t  p "));
            edit(dialog, "proxyPasswordEdit")->setText(QStringLiteral(" se  cret "));
            child<QSpinBox>(&dialog, QStringLiteral("proxyPortBox"))->setValue(3128);
            clickApply(dialog);
            QCOMPARE(storedProxy(), QStringLiteral("true|10.0 .0.1|3128|ivanov p|se cret"));
            QCOMPARE(edit(dialog, "proxyUserEdit")->text() + edit(dialog, "proxyPasswordEdit")->text(), "ivanov pse cret");
        }
        // A value stored unsimplified by hand is left alone when the field
        // shows the same text: only a real change is written.
        QSettings ini(world.configPath(), QSettings::IniFormat);
        ini.setIniCodec(QTextCodec::codecForName("UTF-8"));
        ini.setValue(QStringLiteral("global_proxy/user"), QStringLiteral("  petrov "));
        ini.sync();
        Settings::instance()->setRuntimeValue(QStringLiteral("global_proxy"), QStringLiteral("user"), QStringLiteral("  petrov "));
        SettingsDialog dialog;
        QVERIFY(proxyBox(dialog)->isChecked());
        proxyBox(dialog)->setChecked(false); // only the switch changes
        clickApply(dialog);
        QCOMPARE(edit(dialog, "proxyHostEdit")->text(), QStringLiteral("10.0 .0.1")); // unticking keeps it
        QCOMPARE(storedProxy(), QStringLiteral("false|10.0 .0.1|3128|  petrov |se cret"));
    }

    void blankRowsRemovedOnApply()
    {
        SettingsDialog dialog;
        QTableWidget *t = table(dialog);
        for (int row = 0; row < t->rowCount(); ++row)
            t->item(row, 0)->setText(row == 4 ? "  " + kRegGuid + " " : row == 9 ? kLabGuid : row == 12 ? "   " : QString());
        clickApply(dialog);
        QCOMPARE(column(dialog).mid(0, 2), QStringList({kRegGuid, kLabGuid}));
        QCOMPARE(column(dialog, 1).mid(0, 2), QStringList({"Регистратура", "Лаборатория"}));
        QCOMPARE(Settings::instance()->projects().mid(0, 2), QStringList({kRegGuid, kLabGuid}));
        QCOMPARE(Settings::instance()->value(QStringLiteral("projects"), QStringLiteral("key1")).toString(), kRegGuid);
    }

    void moreThanThirtyKeysKept()
    {
        QStringList many;
        for (int i = 0; i < 37; ++i)
            many.append(QStringLiteral("%1-0000-4000-8000-000000000000").arg(i + 1, 8, 10, QLatin1Char('0')));
        Settings::instance()->setProjects(many);
        const QStringList before = Settings::instance()->projects();
        QVERIFY(before.size() >= 37);
        SettingsDialog dialog;
        QVERIFY(table(dialog)->rowCount() >= before.size() + 1);
        QCOMPARE(column(dialog).mid(0, before.size()), before);
        clickApply(dialog);
        QCOMPARE(Settings::instance()->projects().mid(0, 37), many);
    }

    void cancelDiscardsEdits()
    {
        const QStringList before = Settings::instance()->projects();
        SettingsDialog dialog;
        dialog.show();
        table(dialog)->item(0, 0)->setText(QStringLiteral("edited"));
        child(&dialog, QStringLiteral("cancelButton"))->click();
        QVERIFY(!dialog.isVisible() && dialog.result() == QDialog::Rejected);
        QCOMPARE(Settings::instance()->projects(), before);
    }
};

KESTRA_GUI_TEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"
