// The settings dialog against a real config.ini and a real project list.
#include "guitest.h"
#include "settingsdialog.h"

namespace {

const QString kLabGuid = QStringLiteral("15e5bfdc-78cf-4062-82db-79841f6069b0");
const QString kUnknownGuid = QStringLiteral("00aa0000-0000-4000-8000-000000000001");
const QString kRegGuid = QStringLiteral("5b4a3c2d-1e0f-4a9b-8c7d-6e5f4a3b2c1d");
const QString kUpdaterGuid = QStringLiteral("ac1dba94-cd1b-402a-9679-8390a3929fa2");

QTableWidget *table(SettingsDialog &dialog) { return child<QTableWidget>(&dialog, QStringLiteral("projectsWidget")); }
QLineEdit *edit(SettingsDialog &dialog, const char *name) { return child<QLineEdit>(&dialog, QLatin1String(name)); }

// Column 0 (keys) or 1 (names) of the project table, top down.
QStringList column(SettingsDialog &dialog, int column = 0)
{
    QStringList texts;
    for (int row = 0; row < table(dialog)->rowCount(); ++row)
        texts.append(table(dialog)->item(row, column) ? table(dialog)->item(row, column)->text() : QString());
    return texts;
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
        QStringList values;
        for (const char *key : {"is_need", "host", "port", "user", "password"})
            values.append(ini.value(QStringLiteral("global_proxy/") + QLatin1String(key)).toString());
        return values.join(QLatin1Char('|'));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(world.writeProject(UpdaterWorld::catalogue()));
        QVERIFY(world.configure({kLabGuid, kUnknownGuid, kRegGuid}));
    }

    // Must run before anything writes the proxy group.
    void proxyDefaultsAndValuesWritten()
    {
        SettingsDialog first;
        auto *proxy = child<QGroupBox>(&first, QStringLiteral("globalProxyGroupBox"));
        QVERIFY(!proxy->isChecked());
        auto *port = child<QSpinBox>(&first, QStringLiteral("proxyPortBox"));
        // Only ports a proxy can have: 999999 was stored and cut to 16959.
        QCOMPARE(QList<int>({port->value(), port->minimum(), port->maximum()}), QList<int>({8080, 1, 65535}));
        child(&first, QStringLiteral("okButton"))->click(); // "Применить"; nothing changed, nothing written
        QVERIFY(!QSettings(world.configPath(), QSettings::IniFormat).childGroups().contains("global_proxy"));
        // Blanks and tabs around and doubled inside are all simplified; the reload shows what was stored.
        proxy->setChecked(true);
        edit(first, "proxyHostEdit")->setText(QStringLiteral("  10.0  .0.1  "));
        edit(first, "proxyUserEdit")->setText(QStringLiteral("\tivanov\t  p "));
        edit(first, "proxyPasswordEdit")->setText(QStringLiteral(" se  cret "));
        port->setValue(3128);
        child(&first, QStringLiteral("okButton"))->click();
        QCOMPARE(storedProxy(), QStringLiteral("true|10.0 .0.1|3128|ivanov p|se cret"));
        QCOMPARE(edit(first, "proxyUserEdit")->text() + edit(first, "proxyPasswordEdit")->text(), "ivanov pse cret");
        SettingsDialog second;
        auto *reopened = child<QGroupBox>(&second, QStringLiteral("globalProxyGroupBox"));
        QVERIFY(reopened->isChecked());
        reopened->setChecked(false); // only the switch changes
        child(&second, QStringLiteral("okButton"))->click();
        QCOMPARE(edit(second, "proxyHostEdit")->text(), QStringLiteral("10.0 .0.1")); // unticking keeps it
        QCOMPARE(storedProxy(), QStringLiteral("false|10.0 .0.1|3128|ivanov p|se cret"));
    }

    void keysInStoredOrderBlankRowsRemoved()
    {
        // The updater's own project is always admitted, after the stored keys.
        SettingsDialog dialog;
        QCOMPARE(table(dialog)->rowCount(), SettingsDialog::kMinimumRows);
        QCOMPARE(column(dialog).mid(0, 5), QStringList({kLabGuid, kUnknownGuid, kRegGuid, kUpdaterGuid, QString()}));
        QCOMPARE(column(dialog, 1).mid(0, 4), QStringList({"Лаборатория", "", "Регистратура", "Программа обновления"}));
        QTableWidget *t = table(dialog);
        for (int row = 0; row < t->rowCount(); ++row)
            t->item(row, 0)->setText(row == 4 ? "  " + kRegGuid + " " : row == 9 ? kLabGuid : row == 12 ? "   " : QString());
        child(&dialog, QStringLiteral("okButton"))->click();
        const QStringList kept{kRegGuid, kLabGuid, kUpdaterGuid};
        QCOMPARE(column(dialog).mid(0, 4), kept + QStringList(QString()));
        QCOMPARE(column(dialog, 1).mid(0, 2), QStringList({"Регистратура", "Лаборатория"}));
        QCOMPARE(Settings::instance()->projects(), kept);
    }

    // The table once had a fixed height and dropped the keys beyond it.
    void moreThanThirtyKeysKeptAndCancelStoresNoEdit()
    {
        QStringList many;
        for (int i = 0; i < 37; ++i)
            many.append(QStringLiteral("%1-0000-4000-8000-000000000000").arg(i + 1, 8, 10, QLatin1Char('0')));
        Settings::instance()->setProjects(many);
        many.append(kUpdaterGuid);
        SettingsDialog dialog;
        dialog.show();
        QCOMPARE(column(dialog).mid(0, many.size() + 1), many + QStringList(QString()));
        child(&dialog, QStringLiteral("okButton"))->click();
        QCOMPARE(Settings::instance()->projects(), many);
        table(dialog)->item(0, 0)->setText(QStringLiteral("edited"));
        child(&dialog, QStringLiteral("cancelButton"))->click();
        QCOMPARE(Settings::instance()->projects(), many);
    }
};

KESTRA_GUI_TEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"
