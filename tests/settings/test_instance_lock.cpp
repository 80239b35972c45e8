#include "settings/instance_lock.h"
#include "support/test_settings.h"

#include <QDir>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

// One window a settings store, however the program is started.
class TestInstanceLock : public QObject
{
    Q_OBJECT

private slots:
    void secondClaimFromAnywhereIsRefusedUntilReleased();
};

// Started from another directory (on Windows: another drive) the second
// claim still meets the first: the lock's place depends on the settings
// alone.
void TestInstanceLock::secondClaimFromAnywhereIsRefusedUntilReleased()
{
    IsolatedSettings settings;
    QTemporaryDir elsewhere;
    QVERIFY(elsewhere.isValid());
    InstanceLock first;
    QVERIFY2(first.claim(), qPrintable(first.refusal()));

    const QString started = QDir::currentPath();
    const auto back = qScopeGuard([&started] { QDir::setCurrent(started); });
    QVERIFY(QDir::setCurrent(elsewhere.path()));
    InstanceLock second;
    QVERIFY(!second.claim());
    QVERIFY2(second.refusal().contains(QDir::toNativeSeparators(second.path())),
             qPrintable(second.refusal()));

    first.release();
    QVERIFY2(second.claim(), qPrintable(second.refusal()));
}

QTEST_GUILESS_MAIN(TestInstanceLock)
#include "test_instance_lock.moc"
