#include "ui/Main.h"

#include <QClipboard>
#include <QAbstractTextDocumentLayout>
#include <QDesktopServices>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTextDocument>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QSettings>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QMetaObject>
#include <QMouseEvent>
#include <QShortcut>
#include <QStatusBar>
#include <QThread>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <filesystem>
#include <mutex>
#include <string>

#include "front/display.h"
#include "front/library.h"
#include "front/path.h"
#include "idx/engine.h"
#include "idx/idxdir.h"
#include "ui/Library.h"
#include "ui/Running.h"
#include "ui_Main.h"

namespace fs = std::filesystem;

// ---- Seams ----

static void message_box(QWidget *owner, const QString &text, const QString &title, QMessageBox::Icon icon) {
    QMessageBox box(icon, title, text, QMessageBox::Ok, owner);
    box.exec();
}

static bool open_with_desktop(const QUrl &url) { return QDesktopServices::openUrl(url); }

static void copy_to_clipboard(const QString &text) { QGuiApplication::clipboard()->setText(text); }

static QString choose_dir(QWidget *owner, const QString &start) {
    return QFileDialog::getExistingDirectory(owner, QObject::tr("Choose the folder to index"), start);
}

MessageHook message_hook = message_box;
OpenHook open_hook = open_with_desktop;
ChooseDirHook choose_dir_hook = choose_dir;
CopyHook copy_hook = copy_to_clipboard;
bool remember_layout = false;

void show_message(QWidget *owner, const QString &text, const QString &title, QMessageBox::Icon icon) {
    message_hook(owner, text, title, icon);
}

// ---- Shared helpers ----

std::optional<QByteArray> index_path(const QString &text) {
    std::string p = index_path_of(QFile::encodeName(text).toStdString());
    if (p.empty()) return std::nullopt;
    return QByteArray::fromStdString(p);
}

void fit_text(QLabel *label) {
    label->resize(std::max(label->width(), label->sizeHint().width()), label->height());
}

QUrl file_url(const QByteArray &path) {
    return QUrl::fromEncoded("file://" + path.toPercentEncoding("/"), QUrl::StrictMode);
}

// Names and messages carrying them, with control characters shown escaped.
static QString bytes_text(const char *bytes) { return QString::fromStdString(escaped_name(bytes)); }

QString state_reason(ResultState state, const IndexVolume &volume) {
    switch (state) {
    case ResultState::fresh: return QString();
    case ResultState::changed: return QStringLiteral("changed since it was indexed");
    case ResultState::gone: return QStringLiteral("gone since it was indexed");
    case ResultState::absent: break;
    }
    // The note the command line puts before the row, "[absent: ...] ", without its brackets.
    std::string note = state_note(state, volume);
    const std::string head = "[absent: ";
    if (note.compare(0, head.size(), head) == 0) note.erase(0, head.size());
    while (!note.empty() && (note.back() == ' ' || note.back() == ']')) note.pop_back();
    return QString::fromStdString(escaped_name(note));
}

// Reports from other threads wait here for the UI thread; reports_shown counts the boxes closed.
static std::mutex report_mutex;
static std::condition_variable report_done;
static std::deque<std::string> pending_reports;
static uint64_t reports_queued = 0, reports_shown = 0;

void show_pending_reports() {
    for (;;) {
        std::string text;
        {
            std::lock_guard lock(report_mutex);
            if (pending_reports.empty()) return;
            text = std::move(pending_reports.front());
            pending_reports.pop_front();
        }
        show_message(QApplication::activeWindow(), QString::fromStdString(text), QStringLiteral("Olmarest"),
                     QMessageBox::Critical);
        std::lock_guard lock(report_mutex);
        reports_shown++;
        report_done.notify_all();
    }
}

void gui_report(const char *text) {
    std::fputs(text, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    auto *app = QCoreApplication::instance();
    if (!app) return;
    if (QThread::currentThread() == app->thread()) {
        show_message(QApplication::activeWindow(), QString::fromUtf8(text), QStringLiteral("Olmarest"),
                     QMessageBox::Critical);
        return;
    }
    std::unique_lock lock(report_mutex);
    pending_reports.emplace_back(text);
    uint64_t mine = ++reports_queued;
    QMetaObject::invokeMethod(app, show_pending_reports, Qt::QueuedConnection);
    report_done.wait(lock, [&] { return reports_shown >= mine; });
}

Application::Application(int &argc, char **argv) : QApplication(argc, argv) {}

bool Application::notify(QObject *receiver, QEvent *event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception &e) {
        show_message(activeWindow(), QString::fromLocal8Bit(e.what()), applicationName(), QMessageBox::Critical);
    } catch (...) {
        show_message(activeWindow(), QString(), applicationName(), QMessageBox::Critical);
    }
    return false;
}

// ---- The main window ----

// An excerpt as rich text: the searched words in bold, the rest as plain text.
static QString excerpt_html(const std::string &shown) {
    QString html;
    size_t at = 0;
    for (const auto &[from, to] : query_word_marks(shown)) {
        html += QString::fromStdString(shown.substr(at, from - at)).toHtmlEscaped();
        html += QStringLiteral("<b>") + QString::fromStdString(shown.substr(from, to - from)).toHtmlEscaped() +
                QStringLiteral("</b>");
        at = to;
    }
    html += QString::fromStdString(shown.substr(at)).toHtmlEscaped();
    return html;
}

// Paints an excerpt cell from its rich text (EXCERPT_HTML), on the row's own background, cut at
// the cell's right edge.
class ExcerptDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override {
        QString html = index.data(EXCERPT_HTML).toString();
        if (html.isEmpty()) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        opt.text.clear();
        const QWidget *w = opt.widget;
        QStyle *style = w ? w->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, w);
        QTextDocument doc;
        doc.setDefaultFont(opt.font);
        doc.setDocumentMargin(0);
        doc.setHtml(QStringLiteral("<span style=\"white-space:pre\">%1</span>").arg(html));
        QRect text = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, w);
        painter->save();
        painter->setClipRect(text);
        painter->translate(text.left(), text.top() + (text.height() - doc.size().height()) / 2);
        QAbstractTextDocumentLayout::PaintContext ctx;
        ctx.palette = opt.palette;
        // A greyed row (a file not as the run saw it) stays grey in its excerpt.
        QVariant fg = index.data(Qt::ForegroundRole);
        ctx.palette.setColor(QPalette::Text, opt.state & QStyle::State_Selected ? opt.palette.color(QPalette::HighlightedText)
                                             : fg.isValid()                     ? fg.value<QBrush>().color()
                                                                                : opt.palette.color(QPalette::Text));
        doc.documentLayout()->draw(painter, ctx);
        painter->restore();
    }
};

// The images live in this static library, whose resource initialiser a linker would drop unless
// something refers to it.
static void init_resources() { Q_INIT_RESOURCE(olmarest); }

// The panel's width at design size: the controls' right-edge distances are measured from it.
static constexpr int DESIGN_WIDTH = 611;

Tmainform::Tmainform(QWidget *parent) : QMainWindow(parent), ui(new Ui::Tmainform) {
    init_resources();
    ui->setupUi(this);
    fit_text(ui->StaticText1);
    fit_text(ui->StaticText2);
    // The design gives the outer window 619 x 512 with a minimum of 400 x 360; Qt sizes the client
    // area, which is 8 x 27 pixels smaller (borders and caption).
    setMinimumSize(400 - 8, 360 - 27);
    move(282, 216); // uic sets only the size of a form's top-level widget
    setWindowIcon(QIcon(QStringLiteral(":/images/olmarest.svg")));

    QHeaderView *header = ui->ListView1->header();
    header->setSectionsClickable(true);
    header->setSectionsMovable(false);
    header->setStretchLastSection(false);
    header->resizeSection(0, 50);
    header->resizeSection(1, 300);
    header->resizeSection(2, 250);
    // Rows come in rank order; the indicator shows once a header click has sorted them.
    header->setSortIndicatorShown(false);
    ui->ListView1->setTextElideMode(Qt::ElideMiddle);
    ui->ListView1->setItemDelegateForColumn(2, new ExcerptDelegate(ui->ListView1));
    // Enter on a row opens it, as a double click does.
    ui->ListView1->installEventFilter(this);
    ui->ListView1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->ListView1, &QWidget::customContextMenuRequested, this, [this](const QPoint &at) {
        if (QTreeWidgetItem *item = ui->ListView1->itemAt(at)) {
            QMenu *menu = resultMenu(item);
            menu->popup(ui->ListView1->viewport()->mapToGlobal(at));
        }
    });
    // The folder button is reached with Tab like the other controls: path box, folder, Create
    // Index, word box, Search, list.
    ui->SpeedButton1->setFocusPolicy(Qt::StrongFocus);

    // Why there is no index, or why words found nothing, in the window itself: a tooltip alone is
    // found by few.
    notice_ = new QLabel(ui->centralwidget);
    notice_->setObjectName(QStringLiteral("Notice"));
    notice_->setWordWrap(true);
    notice_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    notice_->setContentsMargins(6, 3, 6, 3);
    notice_->hide();
    ui->clientLayout->addWidget(notice_);

    ui->StatusBar1->setFixedHeight(19);
    for (int i = 0; i < 2; i++) {
        panels[i] = new QLabel(ui->StatusBar1);
        panels[i]->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        panels[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    }
    panels[0]->setFixedWidth(180);
    ui->StatusBar1->addWidget(panels[0]);
    ui->StatusBar1->addWidget(panels[1], 1);
    panels[1]->setText(QStringLiteral("Reading index..."));

    for (QWidget *w : std::initializer_list<QWidget *>{ui->Edit1, ui->Bevel1, ui->Edit2})
        anchors.push_back({w, w->geometry(), true});
    for (QWidget *w : std::initializer_list<QWidget *>{ui->SpeedButton1, ui->idxbtn, ui->BitBtn2})
        anchors.push_back({w, w->geometry(), false});
    ui->Panel1->installEventFilter(this);
    ui->ListView1->viewport()->installEventFilter(this);

    // The desktop's usual key to quit (Ctrl+Q); the window has no menu to show it in.
    auto *quit = new QShortcut(QKeySequence::Quit, this);
    connect(quit, &QShortcut::activated, this, &QWidget::close);

    connect(ui->idxbtn, &QPushButton::clicked, this, &Tmainform::idxbtnClick);
    connect(ui->Edit1, &QLineEdit::returnPressed, this, &Tmainform::Edit1KeyPress);
    connect(ui->SpeedButton1, &QToolButton::clicked, this, &Tmainform::SpeedButton1Click);
    connect(ui->BitBtn2, &QPushButton::clicked, this, &Tmainform::BitBtn2Click);
    connect(ui->Edit2, &QLineEdit::returnPressed, this, &Tmainform::Edit2KeyPress);
    connect(header, &QHeaderView::sectionClicked, this, &Tmainform::ListView1ColumnClick);

    // The Volume column stands between Freq and Filename, shown only when several indexes are
    // searched.
    ui->ListView1->headerItem()->setText(VOLUME_COLUMN, QStringLiteral("Volume"));
    header->moveSection(header->visualIndex(VOLUME_COLUMN), 1);
    header->resizeSection(VOLUME_COLUMN, 100);
    ui->ListView1->hideColumn(VOLUME_COLUMN);

    // The library pane, below the list; at start it shows only when the library has entries.
    library_ = new LibraryPane(this);
    addDockWidget(Qt::BottomDockWidgetArea, library_);
    QAction *show_library = library_->toggleViewAction();
    show_library->setText(QStringLiteral("&Library"));
    show_library->setShortcut(QKeySequence(Qt::Key_F9));
    addAction(show_library);
    // With no menu bar, the panel's context menu is where it can be found.
    ui->Panel1->addAction(show_library);
    ui->Panel1->setContextMenuPolicy(Qt::ActionsContextMenu);
    auto *refresh = new QShortcut(QKeySequence(Qt::Key_F5), this);
    connect(refresh, &QShortcut::activated, this, [this] {
        if (library_->entryCount() > 0) library_->refreshClick();
    });
    connect(library_, &LibraryPane::entriesRead, this, [this] { index_taken = true; });
    connect(library_, &LibraryPane::entriesChanged, this, &Tmainform::showSearchScope);
    connect(library_, &LibraryPane::runRequested, this, &Tmainform::runIntoEntry);
    library_->reload();

    if (remember_layout) {
        QSettings settings;
        if (QSize size = settings.value(QStringLiteral("window/size")).toSize(); size.isValid()) resize(size);
        QList<QVariant> widths = settings.value(QStringLiteral("window/columns")).toList();
        for (int i = 0; i < std::min<int>(3, static_cast<int>(widths.size())); i++)
            if (int w = widths[i].toInt(); w > 0) header->resizeSection(i, w);
    }
}

void Tmainform::closeEvent(QCloseEvent *event) {
    if (remember_layout) {
        QSettings settings;
        settings.setValue(QStringLiteral("window/size"), size());
        QHeaderView *h = ui->ListView1->header();
        settings.setValue(QStringLiteral("window/columns"),
                          QList<QVariant>{h->sectionSize(0), h->sectionSize(1), h->sectionSize(2)});
    }
    QMainWindow::closeEvent(event);
}

void Tmainform::shareColumns() {
    // What the list gains or loses in width goes to Filename and First Occurence in proportion to
    // their widths, so that the design's widths stand at the design's size and the user's after a
    // drag.
    if (!shown) return; // the design's widths hold until the window first shows
    int width = ui->ListView1->viewport()->width();
    int delta = list_width > 0 ? width - list_width : 0;
    list_width = width;
    if (delta == 0) return;
    QHeaderView *h = ui->ListView1->header();
    int names = h->sectionSize(1), excerpts = h->sectionSize(2);
    if (names + excerpts <= 0) return;
    int d1 = static_cast<int>(static_cast<long long>(delta) * names / (names + excerpts));
    h->resizeSection(1, std::max(names + d1, 40));
    h->resizeSection(2, std::max(excerpts + delta - d1, 40));
}

void Tmainform::showSortIndicator() {
    // The list's own order is the comparison's; the indicator only shows it.
    ui->ListView1->header()->setSortIndicatorShown(true);
    int column = sort_column == -1 ? 0 : 1;
    ui->ListView1->header()->setSortIndicator(column, sort_direction > 0 ? Qt::AscendingOrder : Qt::DescendingOrder);
}

Tmainform::~Tmainform() { delete ui; }

void Tmainform::setScanForm(Tscanform *scan) {
    scanform = scan;
    // Create Index returns to the word box once the dialog has closed.
    connect(scan, &QDialog::finished, this, [this] { ui->Edit2->setFocus(); });
    // Refreshing several entries: each run follows once the dialog of the one before has closed.
    connect(scan, &QDialog::finished, this, &Tmainform::startNextEntryRun, Qt::QueuedConnection);
}

void Tmainform::setPathText(const QString &text) {
    ui->Edit1->setText(text);
    path_given = true;
}

QLabel *Tmainform::panel(int i) const { return panels[i]; }

void Tmainform::placeControls() {
    int dx = ui->Panel1->width() - DESIGN_WIDTH;
    for (const Anchor &a : anchors) {
        if (a.stretch)
            a.w->setGeometry(a.design.x(), a.design.y(), std::max(0, a.design.width() + dx), a.design.height());
        else
            a.w->move(a.design.x() + dx, a.design.y());
    }
}

bool Tmainform::eventFilter(QObject *watched, QEvent *event) {
    if (watched == ui->Panel1 && event->type() == QEvent::Resize) placeControls();
    if (watched == ui->ListView1->viewport() && event->type() == QEvent::Resize) shareColumns();
    if (watched == ui->ListView1 && event->type() == QEvent::KeyPress) {
        int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            ListView1DblClick();
            return true;
        }
    }
    if (watched == ui->ListView1->viewport() && event->type() == QEvent::MouseButtonDblClick &&
        static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton)
        ListView1DblClick();
    return QMainWindow::eventFilter(watched, event);
}

void Tmainform::showEvent(QShowEvent *event) {
    QMainWindow::showEvent(event);
    if (!shown) {
        shown = true;
        list_width = ui->ListView1->viewport()->width();
        FormShow();
    }
}

void Tmainform::FormShow() {
    // With an index loaded the next thing to type is words; without one, a path.
    if (loadIndex() != 0) {
        showNoIndex();
        ui->Edit1->setFocus();
    } else {
        ui->Edit2->setFocus();
    }
}

int Tmainform::loadIndex() {
    if (entry_run) return endEntryRun();
    panels[1]->setToolTip(QString());
    panels[1]->setText(QStringLiteral("Reading index..."));
    ui->StatusBar1->repaint();
    index_generation++;
    set_volume_hint(""); // a library entry's place is not the single index's
    index_taken = false;
    index_loaded = read_idx() == 0;
    if (!index_loaded) return -1;
    showNotice(QString());
    // The path box shows what is indexed, unless the user has already put a path there.
    if (!path_given) ui->Edit1->setText(bytes_text(indexed_path()));
    single_status = QStringLiteral("Search in: %1 (%2 files)").arg(bytes_text(indexed_path())).arg(progress().files);
    single_notice.clear();
    showSearchScope();
    return 0;
}

void Tmainform::showSearchScope() {
    int n = static_cast<int>(library_->checkedEntries().size());
    QString text = single_status;
    if (n > 0) {
        QString entries = n == 1 ? QStringLiteral("1 library entry") : QStringLiteral("%1 library entries").arg(n);
        text = index_loaded ? QStringLiteral("%1 and %2").arg(single_status, entries)
                            : QStringLiteral("Search in: %1").arg(entries);
    }
    panels[1]->setText(text);
    // With entries to search, a missing single index is no news under the list.
    showNotice(n > 0 && !index_loaded ? QString() : single_notice);
    ui->BitBtn2->setEnabled(index_loaded || n > 0);
}

void Tmainform::takeIndexBack() {
    if (!index_taken) return;
    index_taken = false;
    set_volume_hint("");
    if (index_loaded) index_loaded = read_idx() == 0;
}

void Tmainform::runIntoEntry(const QByteArray &name, const QByteArray &path, bool adding) {
    entry_runs.push_back({name, path, adding, std::make_shared<EntryRuns>(name.toStdString())});
    if (!entry_run && !scanform->isVisible()) startNextEntryRun();
}

void Tmainform::startNextEntryRun() {
    if (entry_run || entry_runs.empty() || scanform->isVisible()) return;
    entry_run = entry_runs.front();
    entry_runs.erase(entry_runs.begin());
    single_dir = idx_dir();
    entry_run->parts->prepare();
    index_taken = true;
    scanform->StartScan(entry_run->path);
}

int Tmainform::endEntryRun() {
    if (entry_run->parts->next()) {
        // The next part of a large folder (or this part again with the files that fitted).
        entry_run->parts->prepare();
        scanform->StartScan(entry_run->path);
        return 0;
    }
    EntryRun run = *entry_run;
    entry_run.reset();
    std::string name = run.name.toStdString();
    std::string dir = entry_dir(name);
    // A location the user gave has served once the run has read the volume there.
    if (status_idx() == IDX_DONE) QFile::remove(QFile::decodeName(QByteArray::fromStdString(dir + "/location")));
    bool made = QFile::exists(QFile::decodeName(QByteArray::fromStdString(dir + "/idx.dat")));
    set_idx_dir(single_dir.c_str());
    std::string why;
    if (run.adding && !made) remove_entry(name, &why); // nothing was indexed: no entry is left behind
    library_->reload();
    takeIndexBack();
    showSearchScope();
    return 0; // the scan dialog has said how the run went; the window goes on with its index
}

void Tmainform::showNotice(const QString &text) {
    notice_->setText(text);
    notice_->setVisible(!text.isEmpty());
}

void Tmainform::showNoIndex() {
    index_loaded = false;
    single_status = QStringLiteral("No index loaded");
    panels[1]->setToolTip(bytes_text(idx_reason()));
    single_notice = *idx_reason() ? QStringLiteral("No index loaded: %1").arg(bytes_text(idx_reason()))
                                  : QStringLiteral("No index loaded");
    showSearchScope();
}

void Tmainform::idxbtnClick() {
    if (auto path = index_path(ui->Edit1->text()))
        scanform->StartScan(*path); // modal; the word box gets the focus when it closes
    else
        show_message(this, QStringLiteral("Please enter a valid pathname !"), QStringLiteral("Invalid Path"));
}

void Tmainform::Edit1KeyPress() { idxbtnClick(); }

void Tmainform::SpeedButton1Click() {
    // Start at the path box's directory, or the nearest one above it that exists.
    fs::path start(QFile::encodeName(ui->Edit1->text()).toStdString());
    std::error_code ec;
    while (!start.empty() && !fs::is_directory(start, ec) && start != start.parent_path()) start = start.parent_path();
    if (start.empty() || !fs::is_directory(start, ec)) start = QFile::encodeName(QDir::homePath()).toStdString();
    QString dir = choose_dir_hook(this, QFile::decodeName(QByteArray::fromStdString(start.string())));
    if (!dir.isEmpty()) ui->Edit1->setText(QDir::toNativeSeparators(dir));
}

void Tmainform::BitBtn2Click() { RunSearch(); }

void Tmainform::Edit2KeyPress() {
    if (ui->BitBtn2->isEnabled()) RunSearch();
}

// For status panel 0's tooltip: one line per query word that found nothing, saying why.
static QString query_notes() {
    QStringList lines;
    for (const std::string &line : word_reason_lines()) lines << QString::fromStdString(line);
    return lines.join(QLatin1Char('\n'));
}

void Tmainform::RunSearch() {
    if (std::vector<std::string> entries = library_->checkedEntries(); !entries.empty()) {
        searchLibrary(entries);
        return;
    }
    takeIndexBack();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    query_typed({ui->Edit2->text().toStdString()});
    QTreeWidget *list = ui->ListView1;
    list->clear();
    list->header()->setSortIndicatorShown(false); // rank order again
    setVolumeColumn(false);
    char *path;
    char *text;
    int freq;
    int rows = 0;
    while (next_result(&path, &freq, nullptr) == 0) {
        if (freq == 0) continue;
        auto *item = new ResultItem(this);
        item->setText(0, freq < 0 ? QStringLiteral("> %1").arg(-freq) : QString::number(freq));
        item->setText(1, bytes_text(path));
        item->setToolTip(1, item->text(1)); // long paths are elided in the middle
        item->setData(1, Qt::UserRole, QByteArray(path)); // the name's own bytes, to open it by
        item->setData(0, Qt::UserRole, result_file());     // and its number, to copy it out of an image
        item->setData(2, Qt::UserRole, index_generation);
        if (ResultState state = result_state(); state != ResultState::fresh)
            markRow(item, state, state_reason(state, index_volume()));
        list->addTopLevelItem(item);
        rows++;
    }
    // The rows and the count show at once; the excerpts, which re-read files, follow row by row.
    // (The rows are the viewport's: repainting the list itself would leave them for later.)
    list->viewport()->repaint();
    panels[0]->setText(QStringLiteral("%1 matches found !").arg(rows));
    panels[0]->setToolTip(query_notes());
    // The words that found nothing, and why, where the user looks: under the list.
    showNotice(query_notes());
    ui->StatusBar1->repaint();
    read_excerpts_ahead(rows); // a disc's or an image's blocks in one sweep, not a seek per row
    int row = 0;
    while (next_result(&path, &freq, &text) == 0) {
        if (freq == 0) continue;
        list->viewport()->repaint();
        if (QTreeWidgetItem *item = list->topLevelItem(row)) {
            // About a line around each hit, cut to whole words, rather than the bare excerpt.
            std::string excerpt = whole_word_excerpt(display_excerpt(result_context(), result_kind() == KIND_MARKUP));
            setExcerpt(item, excerpt);
        }
        row++;
    }
    QApplication::restoreOverrideCursor();
}

void Tmainform::setExcerpt(QTreeWidgetItem *item, const std::string &excerpt) {
    // A row without an excerpt (its volume absent, its file gone) says why instead.
    if (excerpt.empty()) {
        item->setText(2, item->data(VOLUME_COLUMN, REASON_ROLE).toString());
        return;
    }
    item->setText(2, QString::fromStdString(excerpt));
    item->setData(2, EXCERPT_HTML, excerpt_html(excerpt));
}

void Tmainform::markRow(QTreeWidgetItem *item, ResultState state, const QString &reason) {
    QBrush grey = QApplication::palette().brush(QPalette::Disabled, QPalette::Text);
    for (int c = 0; c <= VOLUME_COLUMN; c++) item->setForeground(c, grey);
    item->setData(VOLUME_COLUMN, STATE_ROLE, static_cast<int>(state));
    item->setData(VOLUME_COLUMN, REASON_ROLE, reason);
    item->setToolTip(0, reason);
    item->setToolTip(1, item->text(1) + QLatin1Char('\n') + reason);
    item->setToolTip(2, reason);
    item->setToolTip(VOLUME_COLUMN, reason);
}

void Tmainform::setVolumeColumn(bool on) {
    if (on == volume_column) return;
    volume_column = on;
    // The column's width comes out of Filename's and goes back to it.
    QHeaderView *h = ui->ListView1->header();
    int width = h->sectionSize(VOLUME_COLUMN);
    ui->ListView1->setColumnHidden(VOLUME_COLUMN, !on);
    if (!on) {
        h->resizeSection(1, h->sectionSize(1) + width);
        return;
    }
    // Filename gives up what the columns would then need beyond the list's width.
    int over = h->length() - ui->ListView1->viewport()->width();
    if (over > 0) h->resizeSection(1, std::max(120, h->sectionSize(1) - over));
}

void Tmainform::searchLibrary(const std::vector<std::string> &checked) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    std::vector<std::string> entries = checked;
    if (index_loaded) entries.insert(entries.begin(), ""); // the single index first, as olmarest-cli does
    std::vector<std::string> words{ui->Edit2->text().toStdString()};
    LibrarySearch s = search_entries(entries, words, false);
    index_taken = true;
    QTreeWidget *list = ui->ListView1;
    list->clear();
    list->header()->setSortIndicatorShown(false);
    setVolumeColumn(s.entries.size() > 1);
    for (const LibraryRow &r : s.rows) {
        auto *item = new ResultItem(this);
        item->setText(0, r.freq < 0 ? QStringLiteral("> %1").arg(-r.freq) : QString::number(r.freq));
        item->setText(1, bytes_text(r.path.c_str()));
        item->setToolTip(1, item->text(1));
        item->setData(1, Qt::UserRole, QByteArray::fromStdString(r.path));
        item->setData(0, Qt::UserRole, r.file);
        item->setData(2, Qt::UserRole, index_generation);
        item->setText(VOLUME_COLUMN, bytes_text(r.volume.c_str()));
        if (const std::string &name = s.entries[r.entry]; !name.empty())
            item->setData(VOLUME_COLUMN, ENTRY_ROLE, QByteArray::fromStdString(name));
        if (r.state != ResultState::fresh) markRow(item, r.state, state_reason(r.state, s.volumes[r.entry]));
        list->addTopLevelItem(item);
    }
    list->viewport()->repaint();
    QStringList notes;
    for (const auto &[name, why] : s.failed)
        notes << QStringLiteral("%1: %2").arg(name.empty() ? QStringLiteral("The index") : bytes_text(name.c_str()),
                                              bytes_text(why.c_str()));
    for (const QueryWordInfo &w : s.words)
        if (w.state != QueryWordState::found || w.files == 0) notes << QString::fromStdString(query_word_reason(w));
    panels[0]->setText(QStringLiteral("%1 matches found !").arg(s.rows.size()));
    panels[0]->setToolTip(notes.join(QLatin1Char('\n')));
    showNotice(notes.join(QLatin1Char('\n')));
    ui->StatusBar1->repaint();
    // The excerpts: the same search again, reading them; the rows come in the same order.
    if (!s.rows.empty()) {
        LibrarySearch full = search_entries(entries, words, true);
        for (size_t i = 0; i < full.rows.size() && i < s.rows.size(); i++) {
            const LibraryRow &r = full.rows[i];
            if (r.file != s.rows[i].file || full.entries[r.entry] != s.entries[s.rows[i].entry]) break;
            if (QTreeWidgetItem *item = list->topLevelItem(static_cast<int>(i)))
                setExcerpt(item, r.excerpt.empty() ? std::string()
                                                   : whole_word_excerpt(display_excerpt(r.context.c_str(),
                                                                                        r.kind == KIND_MARKUP)));
        }
    }
    // Rows without an excerpt still say why.
    for (int i = 0; i < list->topLevelItemCount(); i++)
        if (QTreeWidgetItem *item = list->topLevelItem(i); item->text(2).isEmpty()) setExcerpt(item, std::string());
    QApplication::restoreOverrideCursor();
}

void Tmainform::ListView1DblClick() {
    QList<QTreeWidgetItem *> selected = ui->ListView1->selectedItems();
    if (!selected.isEmpty()) openResult(selected.first());
}

// Whether a path that names no file lies inside a disc image: its nearest existing ancestor is a
// regular file.
static bool inside_image(fs::path p) {
    std::error_code ec;
    while (p.has_parent_path() && p != p.parent_path()) {
        p = p.parent_path();
        if (fs::exists(p, ec)) return fs::is_regular_file(p, ec);
    }
    return false;
}

void Tmainform::openResult(QTreeWidgetItem *item) {
    QByteArray path = item->data(1, Qt::UserRole).toByteArray();
    QString name = item->text(1);
    if (item->data(VOLUME_COLUMN, STATE_ROLE).toInt() == static_cast<int>(ResultState::absent)) {
        // Nothing to open until the volume is back: say where it is to be found.
        show_message(this,
                     QStringLiteral("%1 is on a volume that is not present: %2.")
                         .arg(name, item->data(VOLUME_COLUMN, REASON_ROLE).toString()),
                     QStringLiteral("Not present"), QMessageBox::Information);
        return;
    }
    std::error_code ec;
    fs::path p(path.toStdString());
    if (!fs::exists(p, ec) && inside_image(p)) {
        // A file of a disc image is no file of the file system: it opens from a private copy.
        QString copy = copyFromImage(item);
        if (copy.isEmpty())
            show_message(this, QStringLiteral("%1 could not be read from its disc image.").arg(name),
                         QStringLiteral("Cannot open"), QMessageBox::Warning);
        else if (!open_hook(file_url(QFile::encodeName(copy))))
            show_message(this, QStringLiteral("No application could open %1.").arg(name), QStringLiteral("Cannot open"),
                         QMessageBox::Warning);
        return;
    }
    if (!fs::exists(p, ec)) {
        show_message(this, QStringLiteral("%1 does not exist any more.").arg(name), QStringLiteral("Cannot open"),
                     QMessageBox::Warning);
        return;
    }
    if (!fs::is_regular_file(p, ec)) {
        show_message(this, QStringLiteral("%1 is not a regular file.").arg(name), QStringLiteral("Cannot open"),
                     QMessageBox::Warning);
        return;
    }
    if (!open_hook(file_url(path)))
        show_message(this, QStringLiteral("No application could open %1.").arg(name), QStringLiteral("Cannot open"),
                     QMessageBox::Warning);
}

QString Tmainform::copyFromImage(QTreeWidgetItem *item) {
    KeepIdxDir keep;
    if (QByteArray entry = item->data(VOLUME_COLUMN, ENTRY_ROLE).toByteArray(); !entry.isEmpty()) {
        // A row of a library entry: its index is read for the copy.
        std::string why;
        index_taken = true;
        if (load_entry(entry.toStdString(), &why) != 0) return QString();
    } else {
        // A row of an earlier index names a file of that one; its number means nothing now.
        if (item->data(2, Qt::UserRole).toInt() != index_generation) return QString();
        takeIndexBack();
        if (!idx_loaded) return QString();
    }
    if (!image_copies) {
        image_copies = std::make_unique<QTemporaryDir>();
        if (!image_copies->isValid()) {
            image_copies.reset();
            return QString();
        }
    }
    // One folder per file number, so that two files of one name do not meet.
    unsigned fn = item->data(0, Qt::UserRole).toUInt();
    QDir dir(image_copies->path());
    QString sub = QString::number(fn);
    if (!dir.mkpath(sub)) return QString();
    QByteArray path = item->data(1, Qt::UserRole).toByteArray();
    QString name = QFile::decodeName(QByteArray::fromStdString(fs::path(path.toStdString()).filename().string()));
    QFile out(dir.filePath(sub + QLatin1Char('/') + name));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) return QString();
    bool ok = read_listed_file(fn, [&out](const char *bytes, size_t n) {
        return out.write(bytes, static_cast<qint64>(n)) == static_cast<qint64>(n);
    });
    out.close();
    if (!ok) {
        out.remove();
        return QString();
    }
    out.setPermissions(QFileDevice::ReadOwner); // a copy: nothing to save back into the image
    return out.fileName();
}

QMenu *Tmainform::resultMenu(QTreeWidgetItem *item) {
    auto *menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    QByteArray path = item->data(1, Qt::UserRole).toByteArray();
    QString name = item->text(1);
    menu->addAction(QStringLiteral("&Open"), this, [this, item] { openResult(item); });
    menu->addAction(QStringLiteral("Open Containing &Folder"), this, [this, path, name] {
        QByteArray dir = QByteArray::fromStdString(fs::path(path.toStdString()).parent_path().string());
        std::error_code ec;
        if (!fs::is_directory(fs::path(dir.toStdString()), ec)) {
            show_message(this, QStringLiteral("The folder of %1 does not exist any more.").arg(name),
                         QStringLiteral("Cannot open"), QMessageBox::Warning);
        } else if (!open_hook(file_url(dir))) {
            show_message(this, QStringLiteral("No application could open the folder of %1.").arg(name),
                         QStringLiteral("Cannot open"), QMessageBox::Warning);
        }
    });
    menu->addAction(QStringLiteral("&Copy Path"), this, [path] { copy_hook(QFile::decodeName(path)); });
    return menu;
}

void Tmainform::ListView1ColumnClick(int column) {
    if (column == 0)
        sort_column = -1;
    else if (column == 1)
        sort_column = 0;
    else
        return;
    sort_direction = -sort_direction;
    ui->ListView1->sortItems(column, Qt::AscendingOrder); // the direction is in the comparison
    showSortIndicator();
}

// A "Freq" text as its number: "> 68" counts as 68.
static long freq_value(QString text) {
    if (text.startsWith(QLatin1Char('>'))) text[0] = QLatin1Char(' ');
    return std::strtol(text.toLatin1().constData(), nullptr, 10);
}

int Tmainform::ListView1Compare(const QTreeWidgetItem &a, const QTreeWidgetItem &b) const {
    if (sort_column == -1) {
        long d = freq_value(a.text(0)) - freq_value(b.text(0));
        return static_cast<int>((d > 0) - (d < 0)) * sort_direction;
    }
    int c = QString::localeAwareCompare(a.text(1), b.text(1));
    return ((c > 0) - (c < 0)) * sort_direction;
}
