// The settings dialog against a real config.ini and a real project list.
#include "guitest.h"
#include "settingsdialog.h"

#include <QGroupBox>
#include <QLineEdit>
#include <QSettings>
#include <QSpinBox>
#include <QTableWidget>
#include <QTextCodec>

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
        auto *port = child<QSpinBox>(&dialog, QStringLiteral("proxyPortBox"));
        // Only ports a proxy can have: 999999 was stored and cut to 16959.
        QCOMPARE(QList<int>({port->value(), port->minimum(), port->maximum()}), QList<int>({8080, 1, 65535}));
        clickApply(dialog); // nothing changed, nothing written
        QVERIFY(!QSettings(world.configPath(), QSettings::IniFormat).childGroups().contains(QStringLiteral("global_proxy")));
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
        SettingsDialog dialog;
        QVERIFY(proxyBox(dialog)->isChecked());
        proxyBox(dialog)->setChecked(false); // only the switch changes
        clickApply(dialog);
        QCOMPARE(edit(dialog, "proxyHostEdit")->text(), QStringLiteral("10.0 .0.1")); // unticking keeps it
        QCOMPARE(storedProxy(), QStringLiteral("false|10.0 .0.1|3128|ivanov p|se cret"));
    }

    void projectKeys_data()
    {
        // stored: written before the dialog opens (empty: as config.ini has them);
        // typed: put into the top rows of the key column before the button is
        // pressed; keys: stored afterwards, and shown again after "Применить".
        QTest::addColumn<QStringList>("stored");
        QTest::addColumn<QStringList>("typed");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QStringList>("names");
        const QStringList three{kLabGuid, kUnknownGuid, kRegGuid};
        QStringList many;
        for (int i = 0; i < 37; ++i)
            many.append(QStringLiteral("%1-0000-4000-8000-000000000000").arg(i + 1, 8, 10, QLatin1Char('0')));
        // The updater's own project is always admitted, after the stored keys.
        QTest::newRow("stored order, with names")
            << QStringList() << QStringList() << "okButton" << three + QStringList{kUpdaterGuid}
            << QStringList({"Лаборатория", "", "Регистратура", "Программа обновления"});
        QTest::newRow("blank rows removed, blanks around a key cut")
            << three << QStringList({"", "", "", "", "  " + kRegGuid + " ", "", "", "", "", kLabGuid, "", "", "   "})
            << "okButton" << QStringList({kRegGuid, kLabGuid, kUpdaterGuid})
            << QStringList({"Регистратура", "Лаборатория", "Программа обновления"});
        // The table once had a fixed height and dropped the keys beyond it.
        QTest::newRow("more than thirty keys kept")
            << many << QStringList() << "okButton" << many + QStringList{kUpdaterGuid} << QStringList();
        QTest::newRow("cancel stores no edit")
            << many << QStringList{"edited"} << "cancelButton" << many + QStringList{kUpdaterGuid} << QStringList();
    }

    void projectKeys()
    {
        QFETCH(QStringList, stored);
        QFETCH(QStringList, typed);
        QFETCH(QString, button);
        QFETCH(QStringList, keys);
        QFETCH(QStringList, names);
        if (!stored.isEmpty())
            Settings::instance()->setProjects(stored);
        const QStringList opened = Settings::instance()->projects();
        SettingsDialog dialog;
        dialog.show();
        QCOMPARE(table(dialog)->rowCount(), qMax(SettingsDialog::kMinimumRows, opened.size() + SettingsDialog::kSpareRows));
        QCOMPARE(column(dialog).mid(0, opened.size() + 1), opened + QStringList(QString()));
        for (int row = 0; row < typed.size(); ++row)
            table(dialog)->item(row, 0)->setText(typed.at(row));
        child(&dialog, button)->click();
        const bool applied = button == QLatin1String("okButton");
        QCOMPARE(dialog.isVisible(), applied);
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(Settings::instance()->projects(), keys);
        if (applied) {
            QCOMPARE(column(dialog).mid(0, keys.size() + 1), keys + QStringList(QString()));
            QCOMPARE(column(dialog, 1).mid(0, names.size()), names);
        }
    }
};

KESTRA_GUI_TEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"
