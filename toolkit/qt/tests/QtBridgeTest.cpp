// The Qt bridge: exceptions escaping handlers, the standard exception display, the wake-up of
// queued main-thread calls, the modal door and 8-bit text.
#include "toolkit/Thread.h"
#include "toolkit/qt/ModalRunner.h"
#include "toolkit/qt/QtApplication.h"
#include "toolkit/qt/QtText.h"

#include <QDialog>
#include <QEvent>
#include <QEventLoop>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zv {
namespace {

int argc = 1;
char arg0[] = "ztoolkit_qt_tests";
char* argv[] = {arg0, nullptr};

// An object whose event handler raises.
class TThrowingObject : public QObject {
public:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User)
            throw Exception("Unable to open com port (win error code: 2)");
        return QObject::event(e);
    }
};

class QtBridgeTest : public ::testing::Test {
protected:
    TQtApplication app{argc, argv};
};

TEST_F(QtBridgeTest, ExceptionEscapingAHandlerIsShownAndTheLoopGoesOn) {
    std::vector<std::string> shown;
    SetApplicationExceptionHandler([&](const std::exception& e) { shown.emplace_back(e.what()); });

    TThrowingObject object;
    QEvent first(QEvent::User);
    EXPECT_TRUE(QCoreApplication::sendEvent(&object, &first));

    // Posted events: the second is still delivered after the first one raised.
    QCoreApplication::postEvent(&object, new QEvent(QEvent::User));
    QCoreApplication::postEvent(&object, new QEvent(QEvent::User));
    QCoreApplication::processEvents();

    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0], "Unable to open com port (win error code: 2)");
}

TEST_F(QtBridgeTest, NonStandardExceptionIsShownAsUnknown) {
    std::vector<std::string> shown;
    SetApplicationExceptionHandler([&](const std::exception& e) { shown.emplace_back(e.what()); });
    QTimer::singleShot(0, [] { throw 42; });
    QCoreApplication::processEvents();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], "Unknown exception");
}

TEST_F(QtBridgeTest, StandardDisplayIsACriticalMessageBoxWithTheMessage) {
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    const TModalRunner previous = SetModalRunner([&](QDialog& dialog) {
        auto* box = qobject_cast<QMessageBox*>(&dialog);
        if (box) {
            text = box->text();
            icon = box->icon();
        }
        return int(QMessageBox::Ok);
    });
    // The handler installed by the application is the message box.
    HandleApplicationException(Exception("Soubor \xE9 nelze"));
    SetModalRunner(previous);

    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_EQ(text, QString::fromUtf8("Soubor \u00E9 nelze"));
}

// An exception reported on another thread (a port's event thread calling back without a
// hand-off) is shown by the GUI thread: no widget is made elsewhere, and the reporting thread
// does not wait for it.
TEST_F(QtBridgeTest, AnExceptionReportedOnAnotherThreadIsShownOnTheMainThread) {
    std::vector<std::pair<bool, QString>> shown;
    const TModalRunner previous = SetModalRunner([&](QDialog& dialog) {
        auto* box = qobject_cast<QMessageBox*>(&dialog);
        shown.emplace_back(IsMainThread(), box ? box->text() : QString());
        return int(QMessageBox::Ok);
    });
    std::thread reporter([] { HandleApplicationException(Exception("Line error")); });
    reporter.join();
    for (int i = 0; i < 200 && shown.empty(); ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    SetModalRunner(previous);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_TRUE(shown[0].first);
    EXPECT_EQ(shown[0].second, QStringLiteral("Line error"));
}

class TSynchronizingThread : public TThread {
public:
    TSynchronizingThread() : TThread(true) {}
    ~TSynchronizingThread() override {
        Terminate();
        WaitFor();
    }
    bool RanOnMainThread = false;
    bool Ran = false;

protected:
    void Execute() override {
        Synchronize([this] {
            RanOnMainThread = IsMainThread();
            Ran = true;
            QCoreApplication::exit(0);
        });
    }
};

TEST_F(QtBridgeTest, SynchronizedCallRunsFromTheQtEventLoop) {
    TSynchronizingThread thread;
    // Safety net so that a broken wake-up fails the test instead of hanging it.
    QTimer::singleShot(20000, [] { QCoreApplication::exit(1); });
    thread.Start();
    const int rc = QCoreApplication::exec();
    EXPECT_EQ(rc, 0) << "the queued call never ran from the event loop";
    EXPECT_TRUE(thread.Ran);
    EXPECT_TRUE(thread.RanOnMainThread);
}

TEST(QtBridgeLifetime, DestructorRestoresThePreviousHandler) {
    std::string seen;
    SetApplicationExceptionHandler([&](const std::exception& e) { seen = e.what(); });
    {
        TQtApplication app(argc, argv);
        SetModalRunner([](QDialog&) { return int(QDialog::Accepted); });
        HandleApplicationException(Exception("inside"));
        SetModalRunner(nullptr);
        EXPECT_EQ(seen, "");
    }
    HandleApplicationException(Exception("after"));
    EXPECT_EQ(seen, "after");
    SetApplicationExceptionHandler(nullptr);
}

TEST(QtText, Latin1RoundTripKeepsEveryByte) {
    std::string all;
    for (int c = 1; c < 256; ++c)
        all.push_back(static_cast<char>(c));
    const QString q = ToQString(all);
    EXPECT_EQ(q.size(), 255);
    EXPECT_EQ(FromQString(q), all);
    EXPECT_EQ(FromQString(QString::fromUtf8("\u20AC")), "?");
}

TEST(ModalRunner, RunnerDecidesTheResultAndCanBeRemoved) {
    TQtApplication app(argc, argv);
    QDialog dialog;
    const TModalRunner previous = SetModalRunner([](QDialog&) { return 7; });
    EXPECT_EQ(ExecModal(dialog), 7);
    SetModalRunner(previous);
    // Without a runner, exec(): close it from the loop.
    QTimer::singleShot(0, &dialog, [&] { dialog.reject(); });
    EXPECT_EQ(ExecModal(dialog), int(QDialog::Rejected));
}

} // namespace
} // namespace zv
