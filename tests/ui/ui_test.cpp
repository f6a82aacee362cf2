#include "tests/ui/ui_test.h"

#include <QTest>
#include <QTimer>
#include <deque>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

#include "idx/index.h"
#include "os/os.h"

namespace fs = std::filesystem;

QList<Message> messages;
QList<QUrl> opened;
bool open_succeeds = true;
QStringList copied;
QStringList warnings;

static void record_message(QWidget *owner, const QString &text, const QString &title, QMessageBox::Icon) {
    messages.append({owner != nullptr, text, title});
}

static bool record_open(const QUrl &url) {
    opened.append(url);
    return open_succeeds;
}

static QtMessageHandler qt_handler = nullptr;

static void record_warning(QtMsgType type, const QMessageLogContext &ctx, const QString &text) {
    if (type != QtDebugMsg && type != QtInfoMsg) warnings.append(text);
    qt_handler(type, ctx, text);
}

void install_recorders() {
    message_hook = record_message;
    open_hook = record_open;
    qt_handler = qInstallMessageHandler(record_warning);
}

// ---- Holding read back end ----

std::atomic<bool> hold_reads{false};

namespace {
struct Done {
    void *user;
    OsIoDone done;
    long bytes;
};
std::deque<Done> queued; // indexing thread only

int hold_read(int fd, void *buf, uint32_t len, uint64_t ofs, void *user, OsIoDone done) {
    long n = os_read_at(fd, buf, len, ofs);
    queued.push_back({user, done, n < 0 ? 0 : n});
    return 0;
}

int hold_wait() {
    while (hold_reads.load() && !cancel_requested.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    size_t n = queued.size();
    for (size_t i = 0; i < n; i++) {
        Done d = queued.front();
        queued.pop_front();
        d.done(d.user, d.bytes);
    }
    return static_cast<int>(n);
}

void hold_cancel(int) {}

const OsIoBackend holding_backend{"hold", hold_read, hold_wait, hold_cancel};
} // namespace

void use_holding_reads() { os_set_io_backend(&holding_backend); }

// ---- Fixture ----

UiFixture::UiFixture() {
    char tmpl[] = "/tmp/olmarest_ui_XXXXXX";
    root = mkdtemp(tmpl);
    old_cwd = fs::current_path().string();
    fs::current_path(root);
    messages.clear();
    opened.clear();
    open_succeeds = true;
    copied.clear();
    copy_hook = [](const QString &text) { copied.append(text); };
    warnings.clear();
    hold_reads = false;
    os_set_io_backend(nullptr);
    mainform = new Tmainform;
    scanform = new Tscanform(mainform);
    mainform->show(); // loads the index of the (empty) working directory
    if (!QTest::qWaitForWindowExposed(mainform)) qWarning("the main window was never shown");
}

UiFixture::~UiFixture() {
    hold_reads = false;
    // A test that failed mid-run must not leave the thread reading a removed tree.
    if (cancel_idx() == 0)
        while (status_idx() == 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    delete mainform; // owns the dialog
    os_set_io_backend(nullptr);
    fs::current_path(old_cwd);
    std::error_code ec;
    fs::remove_all(root, ec);
}

void UiFixture::write(const std::string &rel, const std::string &data) {
    fs::path p = path(rel);
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << data;
}

void UiFixture::mkdir(const std::string &rel) { fs::create_directories(path(rel)); }

QStringList UiFixture::log() const {
    return find<QPlainTextEdit>("Memo1")->toPlainText().split(QLatin1Char('\n'));
}

bool UiFixture::startRun(const QString &text) {
    auto *edit = find<QLineEdit>("Edit1");
    edit->setText(text);
    QTest::keyClick(edit, Qt::Key_Return);
    return QTest::qWaitFor([&] { return find<QPushButton>("stop")->text() == QStringLiteral("&Close"); }, 20000);
}

void UiFixture::closeRun() {
    find<QPushButton>("stop")->click();
    auto *timer = scanform->findChild<QTimer *>(QStringLiteral("Timer1"));
    if (!QTest::qWaitFor([&] { return !timer->isActive(); }, 20000)) qWarning("the dialog's timer never stopped");
}

bool UiFixture::index(const QString &dir) {
    if (!startRun(dir)) return false;
    closeRun();
    return true;
}

void UiFixture::search(const QString &words) {
    auto *edit = find<QLineEdit>("Edit2");
    edit->setText(words);
    QTest::keyClick(edit, Qt::Key_Return);
}

QStringList UiFixture::column(int c) const {
    QStringList out;
    auto *list = find<QTreeWidget>("ListView1");
    for (int i = 0; i < list->topLevelItemCount(); i++) out.append(list->topLevelItem(i)->text(c));
    return out;
}
