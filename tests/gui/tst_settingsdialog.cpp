// The settings dialog against a real config.ini and a real project list.
#include "guitest.h"
#include "settings.h"
#include "settingsdialog.h"

#include <QGroupBox>
#include <QHeaderView>
#include <QScrollBar>
#include <QLineEdit>
#include <QPushButton>
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

QStringList reversed(QStringList list)
{
    std::reverse(list.begin(), list.end());
    return list;
}

QTableWidget *table(SettingsDialog &dialog)
{
    return dialog.findChild<QTableWidget *>(QStringLiteral("projectsWidget"));
}

QStringList tableKeys(SettingsDialog &dialog)
{
    QStringList keys;
    QTableWidget *t = table(dialog);
    for (int row = 0; row < t->rowCount(); ++row)
        keys.append(t->item(row, 0) ? t->item(row, 0)->text() : QString());
    return keys;
}

void clickApply(SettingsDialog &dialog)
{
    dialog.findChild<QPushButton *>(QStringLiteral("okButton"))->click();
}

} // namespace

class TestSettingsDialog : public QObject
{
    Q_OBJECT

    UpdaterWorld world;

    QVariant storedProxyValue(const QString &key) const
    {
        QSettings ini(world.configPath(), QSettings::IniFormat);
        ini.setIniCodec(QTextCodec::codecForName("UTF-8"));
        return ini.value(QStringLiteral("global_proxy/") + key);
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
        QVERIFY(!dialog.findChild<QGroupBox *>(QStringLiteral("globalProxyGroupBox"))->isChecked());
        QVERIFY(dialog.findChild<QLineEdit *>(QStringLiteral("proxyHostEdit"))->text().isEmpty());
        QVERIFY(dialog.findChild<QLineEdit *>(QStringLiteral("proxyUserEdit"))->text().isEmpty());
        QVERIFY(dialog.findChild<QLineEdit *>(QStringLiteral("proxyPasswordEdit"))->text().isEmpty());
        auto *port = dialog.findChild<QSpinBox *>(QStringLiteral("proxyPortBox"));
        QCOMPARE(port->value(), 8080);
        // Only ports a proxy can have: 999999 was stored and cut to 16959.
        QVERIFY(port->minimum() == 1 && port->maximum() == 65535);

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
        const QStringList stored{kLabGuid, kUnknownGuid, kRegGuid, kUpdaterGuid};
        const QStringList byKey{kUnknownGuid, kLabGuid, kRegGuid, kUpdaterGuid};
        const QStringList byName{kUnknownGuid, kLabGuid, kUpdaterGuid, kRegGuid};
        // Neither ascending nor descending: the stored order is kept.
        QTest::newRow("stored order") << -1 << 0 << stored;
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
        dialog.findChild<QTabWidget *>(QStringLiteral("tabWidget"))->setCurrentIndex(0);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QHeaderView *header = t->horizontalHeader();
        for (int i = 0; i < clicks; ++i) {
            const QPoint centre(header->sectionViewportPosition(section) + header->sectionSize(section) / 2,
                                header->height() / 2);
            QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, centre);
        }
        QCOMPARE(tableKeys(dialog).mid(0, keys.size()), keys);
        for (int row = keys.size(); row < t->rowCount(); ++row)
            QVERIFY2(t->item(row, 0)->text().isEmpty(), qPrintable(QString::number(row)));
        const QMap<QString, QString> names{{kLabGuid, QStringLiteral("Лаборатория")},
                                           {kUnknownGuid, QString()},
                                           {kRegGuid, QStringLiteral("Регистратура")},
                                           {kUpdaterGuid, QStringLiteral("Программа обновления")}};
        for (int row = 0; row < keys.size(); ++row)
            QCOMPARE(t->item(row, 1)->text(), names.value(keys.at(row)));
        QVERIFY(t->item(0, 0)->flags() & Qt::ItemIsEditable);
        QVERIFY(!(t->item(0, 1)->flags() & Qt::ItemIsEditable));
        // The name column takes the room: no horizontal scroll bar, and the
        // two columns fill the table's width.
        QVERIFY(!t->horizontalScrollBar()->isVisible());
        QCOMPARE(header->sectionSize(0) + header->sectionSize(1), t->viewport()->width());
        QVERIFY(header->sectionSize(1) > header->sectionSize(0) / 2);
    }

    void proxyValuesWritten()
    {
        // Blanks and tabs around and doubled inside are all simplified.
        const QMap<QString, QPair<QString, QString>> typed{
            {QStringLiteral("host"), {QStringLiteral("  10.0  .0.1  "), QStringLiteral("10.0 .0.1")}},
            {QStringLiteral("user"), {QStringLiteral("\tivanov\t  p "), QStringLiteral("ivanov p")}},
            {QStringLiteral("password"), {QStringLiteral(" se  cret "), QStringLiteral("se cret")}}};
        const auto edit = [](SettingsDialog &dialog, const QString &key) {
            return dialog.findChild<QLineEdit *>(QStringLiteral("proxy") + key.at(0).toUpper() + key.mid(1)
                                                 + QStringLiteral("Edit"));
        };
        {
            SettingsDialog dialog;
            dialog.findChild<QGroupBox *>(QStringLiteral("globalProxyGroupBox"))->setChecked(true);
            for (auto it = typed.begin(); it != typed.end(); ++it)
                edit(dialog, it.key())->setText(it.value().first);
            dialog.findChild<QSpinBox *>(QStringLiteral("proxyPortBox"))->setValue(3128);
            clickApply(dialog);
            for (auto it = typed.begin(); it != typed.end(); ++it) {
                QCOMPARE(storedProxyValue(it.key()).toString(), it.value().second);
                QCOMPARE(edit(dialog, it.key())->text(), it.value().second); // the reload shows what was stored
            }
        }
        QCOMPARE(storedProxyValue(QStringLiteral("is_need")).toBool(), true);
        QCOMPARE(storedProxyValue(QStringLiteral("port")).toInt(), 3128);

        // A value stored unsimplified by hand is left alone when the field
        // shows the same text: only a real change is written.
        QSettings ini(world.configPath(), QSettings::IniFormat);
        ini.setIniCodec(QTextCodec::codecForName("UTF-8"));
        ini.setValue(QStringLiteral("global_proxy/user"), QStringLiteral("  petrov "));
        ini.sync();
        Settings::instance()->setRuntimeValue(QStringLiteral("global_proxy"), QStringLiteral("user"),
                                              QStringLiteral("  petrov "));
        {
            SettingsDialog dialog;
            auto *box = dialog.findChild<QGroupBox *>(QStringLiteral("globalProxyGroupBox"));
            QVERIFY(box->isChecked());
            box->setChecked(false); // only the switch changes
            clickApply(dialog);
            QCOMPARE(edit(dialog, QStringLiteral("host"))->text(), QStringLiteral("10.0 .0.1")); // unticking keeps it
        }
        QCOMPARE(storedProxyValue(QStringLiteral("is_need")).toBool(), false);
        QCOMPARE(storedProxyValue(QStringLiteral("host")).toString(), QStringLiteral("10.0 .0.1"));
        QCOMPARE(storedProxyValue(QStringLiteral("port")).toInt(), 3128);
        QCOMPARE(storedProxyValue(QStringLiteral("user")).toString(), QStringLiteral("  petrov "));
    }

    void blankRowsRemovedOnApply()
    {
        SettingsDialog dialog;
        QTableWidget *t = table(dialog);
        for (int row = 0; row < t->rowCount(); ++row)
            t->item(row, 0)->setText(QString());
        t->item(4, 0)->setText(QStringLiteral("  ") + kRegGuid + QStringLiteral(" "));
        t->item(9, 0)->setText(kLabGuid);
        t->item(12, 0)->setText(QStringLiteral("   "));
        clickApply(dialog);

        const QStringList keys = tableKeys(dialog);
        QCOMPARE(keys.at(0), kRegGuid);
        QCOMPARE(keys.at(1), kLabGuid);
        QCOMPARE(t->item(0, 1)->text(), QStringLiteral("Регистратура"));
        QCOMPARE(t->item(1, 1)->text(), QStringLiteral("Лаборатория"));
        const QStringList stored = Settings::instance()->projects();
        QCOMPARE(stored.mid(0, 2), QStringList({kRegGuid, kLabGuid}));
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
        QCOMPARE(tableKeys(dialog).mid(0, before.size()), before);
        clickApply(dialog);
        const QStringList after = Settings::instance()->projects();
        for (const QString &key : many)
            QVERIFY2(after.contains(key), qPrintable(key));
        QCOMPARE(after.mid(0, 37), many);
    }

    void cancelDiscardsEdits()
    {
        const QStringList before = Settings::instance()->projects();
        SettingsDialog dialog;
        dialog.show();
        table(dialog)->item(0, 0)->setText(QStringLiteral("edited"));
        dialog.findChild<QPushButton *>(QStringLiteral("cancelButton"))->click();
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(Settings::instance()->projects(), before);
    }
};

KESTRA_GUI_TEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"
