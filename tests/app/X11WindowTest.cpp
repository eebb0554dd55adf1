// The upload under a real X server (Xvfb). The test plays the desktop: it
// damages the window as an overlapping window would, pings it as a window
// manager does, and clicks Upload again while the upload runs.
#include "HookedModel.h"
#include "WaitFor.h"
#include "app/MainWindow.h"

#include <QApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QWindow>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <xcb/xcb.h>

namespace korvalis {
namespace {

template <typename T> using TReply = std::unique_ptr<T, decltype(&std::free)>;

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
    const TReply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name), nullptr),
        &std::free);
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// The window's pixel as the X server holds it, 0xRRGGBB.
uint32_t PixelAt(xcb_connection_t* c, xcb_window_t window, QPoint at) {
    const TReply<xcb_get_image_reply_t> reply(
        xcb_get_image_reply(c,
                            xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, window, int16_t(at.x()),
                                          int16_t(at.y()), 1, 1, ~0u),
                            nullptr),
        &std::free);
    if (!reply || xcb_get_image_data_length(reply.get()) < 4)
        return ~0u;
    uint32_t pixel;
    std::memcpy(&pixel, xcb_get_image_data(reply.get()), 4);
    return pixel & 0xFFFFFF;
}

TEST(X11Window, UploadRepairsDamageAnswersPingsAndDropsClicks) {
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "needs an X server: run under xvfb-run with QT_QPA_PLATFORM=xcb";
    const QString xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    ASSERT_EQ(xcb_connection_has_error(c), 0);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;

    sim::TSimPlatform::Instance().Reset();
    TKorvalisDeviceModel::TOptions options;
    options.ReportDelayMicroseconds = 200; // about 1.5 s for the whole upload
    auto hooked = std::make_shared<THookedModel>(std::make_shared<sim::TKorvalisSimModel>(options));
    auto form = std::make_unique<TQtMainWindow>();
    form->show();
    ASSERT_TRUE(WaitFor([&] { return form->stBar->Text() == "Disconnected"; }, 5000));
    sim::TSimPlatform::Instance().Plug(hooked->Interface());
    ASSERT_TRUE(WaitFor([&] { return form->stBar->Text() == "Connected"; }, 5000));
    ASSERT_TRUE(form->windowHandle()->isExposed());

    const auto window = xcb_window_t(form->windowHandle()->winId());
    const QPoint spot(300, 80); // over the Logo picture
    const uint32_t painted = PixelAt(c, window, spot);
    constexpr uint32_t kMagenta = 0xFF00FF;
    ASSERT_NE(painted, kMagenta);
    // Qt answers a ping on the root window, to its structure listeners.
    const uint32_t rootMask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &rootMask);
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, window, XCB_GC_FOREGROUND, &kMagenta);
    const xcb_atom_t protocols = Atom(c, "WM_PROTOCOLS");
    const xcb_atom_t ping = Atom(c, "_NET_WM_PING");
    constexpr uint32_t kStamp = 0x4B4F5256;
    const QPoint upload = form->btnUpload->mapToGlobal(form->btnUpload->rect().center());

    bool damaged = false;
    int64_t repairedAt = -1, answeredAt = -1;
    hooked->OnReport = [&](uint64_t reports) {
        if (reports == 500) {
            const xcb_rectangle_t area{int16_t(spot.x() - 20), int16_t(spot.y() - 20), 60, 60};
            xcb_poly_fill_rectangle(c, window, gc, 1, &area);
            xcb_clear_area(c, 1, window, area.x, area.y, area.width, area.height);
            xcb_client_message_event_t message{};
            message.response_type = XCB_CLIENT_MESSAGE;
            message.format = 32;
            message.window = window;
            message.type = protocols;
            message.data.data32[0] = ping;
            message.data.data32[1] = kStamp;
            message.data.data32[2] = window;
            xcb_send_event(c, 0, window, XCB_EVENT_MASK_NO_EVENT,
                           reinterpret_cast<const char*>(&message));
            damaged = PixelAt(c, window, spot) == kMagenta;
            if (!xdotool.isEmpty())
                QProcess::execute(xdotool,
                                  {QStringLiteral("mousemove"), QString::number(upload.x()),
                                   QString::number(upload.y()), QStringLiteral("click"),
                                   QStringLiteral("1")});
        }
        if (reports <= 500 || reports % 64 != 0)
            return;
        if (repairedAt < 0 && PixelAt(c, window, spot) == painted)
            repairedAt = int64_t(reports);
        while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
            const auto* m = reinterpret_cast<xcb_client_message_event_t*>(event);
            if ((event->response_type & 0x7F) == XCB_CLIENT_MESSAGE && m->type == protocols &&
                m->data.data32[0] == ping && m->data.data32[1] == kStamp && answeredAt < 0)
                answeredAt = int64_t(reports);
            std::free(event);
        }
    };
    form->btnUpload->click();
    EXPECT_EQ(form->stBar->Text(), "Upload succeeded");
    EXPECT_TRUE(damaged);
    EXPECT_GT(repairedAt, 0) << "the damaged area was not painted again during the upload";
    EXPECT_GT(answeredAt, 0) << "the ping was not answered during the upload";
    hooked->OnReport = nullptr;
    Settle(500);
    if (xdotool.isEmpty())
        std::printf("xdotool missing: the click during the upload was not tried\n");
    else
        EXPECT_EQ(hooked->Inner->BundleReports(), 7264u) << "the click ran a second upload";

    form.reset();
    sim::TSimPlatform::Instance().Reset();
    xcb_free_gc(c, gc);
    xcb_disconnect(c);
}

} // namespace
} // namespace korvalis
