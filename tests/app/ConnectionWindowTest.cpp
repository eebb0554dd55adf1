// The whole flow through the real window, controller and device layer on the
// simulated HID platform with the emulated Korvalis device.
#include "HookedModel.h"
#include "WaitFor.h"
#include "app/MainWindow.h"
#include "emulator/KorvalisSimModel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QSocketNotifier>
#include <QTimer>
#include <QWindow>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace korvalis {
namespace {

using sim::TKorvalisSimModel;
using sim::TSimPlatform;

std::shared_ptr<TKorvalisSimModel> Model(std::array<uint8_t, 3> fw = {19, 2, 16},
                                         uint8_t marker = 0xCF) {
    TKorvalisDeviceModel::TOptions options;
    options.Firmware = fw;
    options.Marker = marker;
    return std::make_shared<TKorvalisSimModel>(options);
}

// Records the bundle report count at which each delivery came.
class TDeliveryLog : public QObject {
  public:
    static QEvent::Type MessageType() {
        static const auto type = QEvent::Type(QEvent::registerEventType());
        return type;
    }
    struct TMessage : QEvent {
        TMessage() : QEvent(MessageType()) {}
        TMessage* clone() const override { return new TMessage; }
    };
    explicit TDeliveryLog(std::function<uint64_t()> clock) : FClock(std::move(clock)) {}
    void Note(const char* what) { At[what].push_back(FClock()); }
    bool event(QEvent* event) override {
        if (event->type() != MessageType())
            return QObject::event(event);
        Note("message");
        return true;
    }
    std::map<std::string, std::vector<uint64_t>> At;

  private:
    std::function<uint64_t()> FClock;
};

class ConnectionWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        TSimPlatform::Instance().Reset();
        form = std::make_unique<TQtMainWindow>();
        form->show();
    }
    void TearDown() override {
        form.reset();
        TSimPlatform::Instance().Reset();
    }
    std::string Status() const { return form->stBar->Text(); }
    bool WaitStatus(const std::string& text, int timeoutMs = 3000) {
        return WaitFor([&] { return Status() == text; }, timeoutMs);
    }
    uint32_t PlugKorvalis(std::shared_ptr<TKorvalisSimModel> model) {
        return TSimPlatform::Instance().Plug(sim::KorvalisInterface(std::move(model)));
    }
    uint32_t PlugOther(uint16_t vendor, uint16_t product) {
        sim::TSimInterface other;
        other.VendorID = vendor;
        other.ProductID = product;
        return TSimPlatform::Instance().Plug(other);
    }
    std::shared_ptr<THookedModel> PlugHooked() {
        auto hooked = std::make_shared<THookedModel>(Model());
        TSimPlatform::Instance().Plug(hooked->Interface());
        return hooked;
    }
    std::unique_ptr<TQtMainWindow> form;
};

TEST_F(ConnectionWindow, StartUpShowsDisconnectedAfterTheFirstPass) {
    EXPECT_EQ(Status(), "");
    EXPECT_TRUE(form->btnUpload->isEnabled());
    ASSERT_TRUE(WaitStatus("Disconnected"));
    EXPECT_FALSE(form->btnUpload->isEnabled());
}

TEST_F(ConnectionWindow, PlugCheckConnectUpload) {
    ASSERT_TRUE(WaitStatus("Disconnected"));
    auto model = Model();
    PlugKorvalis(model);
    ASSERT_TRUE(WaitStatus("Checking firmware..."));
    EXPECT_FALSE(form->btnUpload->isEnabled());
    QElapsedTimer watch;
    watch.start();
    ASSERT_TRUE(WaitStatus("Connected"));
    EXPECT_GE(watch.elapsed(), 400); // the 500 ms timer sends the read command
    EXPECT_TRUE(form->btnUpload->isEnabled());
    EXPECT_EQ(model->ReadCommands(), 1u);

    std::vector<int> positions;
    int maxSeen = 0;
    QObject::connect(form->pb1, &QProgressBar::valueChanged, [&](int v) {
        positions.push_back(v);
        maxSeen = std::max(maxSeen, form->pb1->maximum());
    });
    form->img3->Picture().SetPixel(7, 7, {10, 200, 30});
    form->btnUpload->click();
    EXPECT_EQ(Status(), "Upload succeeded");
    EXPECT_TRUE(form->btnUpload->isEnabled());
    EXPECT_FALSE(form->pb1->isVisible());
    EXPECT_EQ(form->cursor().shape(), Qt::ArrowCursor);
    EXPECT_EQ(maxSeen, 227);
    ASSERT_FALSE(positions.empty());
    EXPECT_EQ(*std::max_element(positions.begin(), positions.end()), 226);
    EXPECT_EQ(model->BundleReports(), 7264u);
    ASSERT_TRUE(model->BundleComplete());
    const auto received = model->ReceivedBundle();
    const auto bundle = form->Bundle().Data();
    EXPECT_TRUE(std::equal(bundle.begin(), bundle.end(), received.begin(), received.end()));
    EXPECT_EQ(model->RejectedPackets(), 0u);
    // A second upload may start at once.
    form->btnUpload->click();
    EXPECT_EQ(Status(), "Upload succeeded");
}

TEST_F(ConnectionWindow, FirmwareTable) {
    struct Row {
        std::array<uint8_t, 3> fw;
        uint8_t marker;
        const char* status;
        bool upload;
    };
    for (const Row& row : {Row{{19, 2, 15}, 0xCF, "Incompatible firmware", false},
                           Row{{19, 2, 16}, 0xCF, "Connected", true},
                           Row{{20, 1, 1}, 0xCE, "Incompatible firmware", false}}) {
        TSimPlatform::Instance().Reset();
        form = std::make_unique<TQtMainWindow>();
        form->show();
        ASSERT_TRUE(WaitStatus("Disconnected"));
        PlugKorvalis(Model(row.fw, row.marker));
        ASSERT_TRUE(WaitStatus(row.status)) << row.status << " got " << Status();
        EXPECT_EQ(form->btnUpload->isEnabled(), row.upload);
    }
}

TEST_F(ConnectionWindow, OtherDevicesAreIgnored) {
    ASSERT_TRUE(WaitStatus("Disconnected"));
    PlugOther(0x046D, 0xC077);
    PlugOther(0x0416, 0x5021);
    Settle(700);
    EXPECT_EQ(Status(), "Disconnected");
    EXPECT_FALSE(form->btnUpload->isEnabled());
}

TEST_F(ConnectionWindow, UnrelatedPlugWhileConnectedChecksAgain) {
    ASSERT_TRUE(WaitStatus("Disconnected"));
    auto model = Model();
    PlugKorvalis(model);
    ASSERT_TRUE(WaitStatus("Connected"));
    std::vector<std::string> seen;
    PlugOther(0x046D, 0xC077);
    ASSERT_TRUE(WaitFor([&] {
        if (seen.empty() || seen.back() != Status())
            seen.push_back(Status());
        return Status() == "Connected" && seen.size() >= 3;
    }));
    EXPECT_NE(std::find(seen.begin(), seen.end(), "Checking firmware..."), seen.end());
    EXPECT_EQ(model->ReadCommands(), 2u);
}

TEST_F(ConnectionWindow, UploadWithNoDevice) {
    ASSERT_TRUE(WaitStatus("Disconnected"));
    form->btnUpload->setEnabled(true); // as if a check had passed
    form->btnUpload->click();
    EXPECT_EQ(Status(), "Disconnected");
    EXPECT_FALSE(form->btnUpload->isEnabled());
}

TEST_F(ConnectionWindow, DataOutsideAReadIsIgnored) {
    ASSERT_TRUE(WaitStatus("Disconnected"));
    auto model = Model();
    const uint32_t dev = PlugKorvalis(model);
    ASSERT_TRUE(WaitStatus("Connected"));
    std::vector<uint8_t> stray(65, 0x11);
    stray[0] = 0;
    TSimPlatform::Instance().QueueInputReport(dev, stray);
    Settle(300);
    EXPECT_EQ(Status(), "Connected");
    EXPECT_EQ(form->Connection().ExpectedCount(), 0);
}

TEST_F(ConnectionWindow, TwoMatchingDevicesTheLastIsCurrent) {
    ASSERT_TRUE(WaitStatus("Disconnected"));
    auto first = Model();
    auto second = Model();
    PlugKorvalis(first);
    PlugKorvalis(second);
    ASSERT_TRUE(WaitStatus("Connected"));
    Settle(200);
    form->btnUpload->click();
    EXPECT_EQ(Status(), "Upload succeeded");
    EXPECT_TRUE(second->BundleComplete());
    EXPECT_FALSE(first->BundleComplete());
}

TEST_F(ConnectionWindow, SilentOrOverlongAnswersStayChecking) {
    struct Row {
        bool silent;
        std::vector<uint16_t> split;
        uint32_t extra;
    };
    for (const Row& row : {Row{true, {64}, 0}, Row{false, {60}, 10}}) {
        TSimPlatform::Instance().Reset();
        form = std::make_unique<TQtMainWindow>();
        form->show();
        ASSERT_TRUE(WaitStatus("Disconnected"));
        TKorvalisDeviceModel::TOptions options;
        options.Silent = row.silent;
        options.AnswerSplit = row.split;
        options.ExtraAnswerBytes = row.extra;
        auto model = std::make_shared<TKorvalisSimModel>(options);
        PlugKorvalis(model);
        ASSERT_TRUE(WaitStatus("Checking firmware..."));
        Settle(1000);
        EXPECT_EQ(Status(), "Checking firmware...");
        EXPECT_FALSE(form->btnUpload->isEnabled());
        EXPECT_EQ(model->ReadCommands(), 1u);
    }
}

TEST_F(ConnectionWindow, UnplugInTheMiddleOfAnUpload) {
    ASSERT_TRUE(WaitStatus("Disconnected"));
    TKorvalisDeviceModel::TOptions options;
    options.UnplugAt = 3000;
    auto model = std::make_shared<TKorvalisSimModel>(options);
    PlugKorvalis(model);
    ASSERT_TRUE(WaitStatus("Connected"));
    form->btnUpload->click();
    EXPECT_EQ(Status(), "Upload failed");
    EXPECT_TRUE(form->btnUpload->isEnabled());
    EXPECT_FALSE(form->pb1->isVisible());
    // The device change is handled after the upload.
    ASSERT_TRUE(WaitStatus("Disconnected"));
    EXPECT_FALSE(form->btnUpload->isEnabled());
    EXPECT_FALSE(model->BundleComplete());
}

// Clicks and keys the desktop queued while the upload ran are thrown away:
// a double-click on Upload uploads once, a click on Clear clears nothing.
TEST_F(ConnectionWindow, InputQueuedDuringAnUploadIsDiscarded) {
    enum class TInput { Click, SpaceKey };
    struct Row {
        const char* name;
        TInput input;
        QPushButton* TQtMainWindow::*button;
    };
    for (const Row& row : {Row{"click on Upload", TInput::Click, &TQtMainWindow::btnUpload},
                           Row{"click on Clear", TInput::Click, &TQtMainWindow::btn2Clr},
                           Row{"space on Clear", TInput::SpaceKey, &TQtMainWindow::btn2Clr}}) {
        TSimPlatform::Instance().Reset();
        form = std::make_unique<TQtMainWindow>();
        form->show();
        ASSERT_TRUE(WaitStatus("Disconnected"));
        auto hooked = PlugHooked();
        ASSERT_TRUE(WaitStatus("Connected"));
        form->img2->Picture().SetPixel(5, 5, {1, 2, 3});
        QPushButton* button = form.get()->*row.button;
        button->setFocus();
        QWindow* window = form->windowHandle();
        hooked->OnReport = [&](uint64_t reports) {
            if (reports != 1000)
                return;
            const QPointF at = button->mapTo(form.get(), button->rect().center());
            const QPointF global = button->mapToGlobal(button->rect().center());
            if (row.input == TInput::Click) {
                for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
                    QCoreApplication::postEvent(
                        window, new QMouseEvent(type, at, at, global, Qt::LeftButton,
                                                type == QEvent::MouseButtonPress ? Qt::LeftButton
                                                                                 : Qt::NoButton,
                                                Qt::NoModifier));
            } else {
                for (QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease})
                    QCoreApplication::postEvent(
                        window,
                        new QKeyEvent(type, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" ")));
            }
        };
        form->btnUpload->click();
        EXPECT_EQ(Status(), "Upload succeeded") << row.name;
        Settle(300);
        EXPECT_EQ(hooked->Inner->BundleReports(), 7264u) << row.name;
        EXPECT_EQ(form->img2->Picture().Pixel(5, 5), (TColor{1, 2, 3})) << row.name;
        EXPECT_EQ(Status(), "Upload succeeded") << row.name;
    }
}

// The application's own handlers wait for the end of the upload: a posted
// message, a timer and a device change all run after the last report, and
// none is lost.
TEST_F(ConnectionWindow, HandlersQueuedDuringAnUploadRunAfterIt) {
    ASSERT_TRUE(WaitStatus("Disconnected"));
    auto hooked = PlugHooked();
    ASSERT_TRUE(WaitStatus("Connected"));
    TDeliveryLog log([&] { return hooked->Inner->BundleReports(); });
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, [&] { log.Note("timer"); });
    std::vector<std::string> statuses;
    const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    QSocketNotifier notifier(wake, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        uint64_t value;
        [[maybe_unused]] const ssize_t n = read(wake, &value, sizeof value);
        log.Note("socket");
    });
    hooked->OnReport = [&](uint64_t reports) {
        if (reports == 1000) {
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = write(wake, &one, sizeof one);
            QCoreApplication::postEvent(&log, new TDeliveryLog::TMessage);
            timer.start(0);
            PlugOther(0x046D, 0xC077);
        }
        if (reports % 1000 == 0)
            statuses.push_back(Status());
    };
    form->btnUpload->click();
    EXPECT_EQ(Status(), "Upload succeeded");
    for (const std::string& status : statuses)
        EXPECT_EQ(status, "Uploading resources...");
    ASSERT_TRUE(WaitFor([&] {
        return !log.At["timer"].empty() && !log.At["message"].empty() && !log.At["socket"].empty();
    }));
    close(wake);
    EXPECT_EQ(log.At["socket"], std::vector<uint64_t>{7264});
    EXPECT_EQ(log.At["timer"], std::vector<uint64_t>{7264});
    EXPECT_EQ(log.At["message"], std::vector<uint64_t>{7264});
    // The plug is seen after the upload: a new pass, then the device again.
    ASSERT_TRUE(WaitStatus("Connected"));
    EXPECT_EQ(hooked->Inner->ReadCommands(), 2u);
}

} // namespace
} // namespace korvalis
