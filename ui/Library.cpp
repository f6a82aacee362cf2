#include "ui/Library.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QSettings>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <set>

#include "front/display.h"
#include "front/library.h"
#include "front/path.h"
#include "idx/idxdir.h"
#include "ui/Main.h"

static bool ask_question(QWidget *owner, const QString &text, const QString &title) {
    return QMessageBox::question(owner, title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
           QMessageBox::Yes;
}

static QString choose_image(QWidget *owner, const QString &start) {
    return QFileDialog::getOpenFileName(owner, QStringLiteral("Choose the disc image to index"), start,
                                        QStringLiteral("Disc images (*.iso *.ISO);;All files (*)"));
}

ConfirmHook confirm_hook = ask_question;
ChooseImageHook choose_image_hook = choose_image;

namespace {

// The list's columns.
enum Column { NAME, KIND, FILES, DATE, PRESENT };
// An item's entry name, as its bytes (the shown text may be escaped or edited); its volume's kind
// (in the Kind cell) and whether it is absent (in the Present cell).
constexpr int NAME_ROLE = Qt::UserRole;
constexpr int KIND_ROLE = Qt::UserRole;
constexpr int ABSENT_ROLE = Qt::UserRole;

// Names are bytes; settings keep them percent-encoded so that none is changed on the way.
QString settings_name(const std::string &name) {
    return QString::fromLatin1(QByteArray::fromStdString(name).toPercentEncoding());
}

QSet<QString> unchecked_names() {
    QStringList list = QSettings().value(QStringLiteral("library/unchecked")).toStringList();
    return QSet<QString>(list.begin(), list.end());
}

void save_unchecked(const QSet<QString> &names) {
    QStringList list(names.begin(), names.end());
    list.sort();
    QSettings().setValue(QStringLiteral("library/unchecked"), list);
}

QString text_of(const std::string &bytes) { return QString::fromStdString(escaped_name(bytes)); }

std::string entry_of(const QTreeWidgetItem *item) { return item->data(NAME, NAME_ROLE).toByteArray().toStdString(); }

const char *kind_name(VolumeKind k) {
    return k == VolumeKind::disc ? "disc" : k == VolumeKind::image ? "image" : "folder";
}

// The entry list asks for a few rows' height only: the pane takes little from the result list.
class EntryList : public QTreeWidget {
  public:
    using QTreeWidget::QTreeWidget;
    QSize sizeHint() const override { return {QTreeWidget::sizeHint().width(), 120}; }
};

} // namespace

KeepIdxDir::KeepIdxDir() : dir(idx_dir()) {}
KeepIdxDir::~KeepIdxDir() { set_idx_dir(dir.c_str()); }

LibraryPane::LibraryPane(QWidget *parent) : QDockWidget(QStringLiteral("Library"), parent) {
    setObjectName(QStringLiteral("LibraryPane"));
    setFeatures(QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable);
    auto *body = new QWidget(this);
    auto *row = new QHBoxLayout(body);
    row->setContentsMargins(4, 0, 4, 4);
    list_ = new EntryList(body);
    list_->setObjectName(QStringLiteral("LibraryList"));
    list_->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Kind"), QStringLiteral("Files"),
                            QStringLiteral("Date"), QStringLiteral("Present")});
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    list_->setAllColumnsShowFocus(true);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setEditTriggers(QAbstractItemView::EditKeyPressed); // F2, or Rename
    list_->header()->resizeSection(NAME, 170);
    list_->header()->resizeSection(KIND, 50);
    list_->header()->resizeSection(FILES, 50);
    list_->header()->resizeSection(DATE, 110);
    row->addWidget(list_, 1);
    auto *buttons = new QVBoxLayout;
    auto button = [&](const char *name, const QString &text, const QString &tip) {
        auto *b = new QPushButton(text, body);
        b->setObjectName(QLatin1String(name));
        b->setToolTip(tip);
        buttons->addWidget(b);
        return b;
    };
    add_ = button("LibraryAdd", QStringLiteral("&Add..."), QStringLiteral("Index a folder into a new entry"));
    add_image_ = button("LibraryAddImage", QStringLiteral("Add &Image..."),
                        QStringLiteral("Index an ISO 9660 disc image into a new entry"));
    refresh_ = button("LibraryRefresh", QStringLiteral("Re&fresh"),
                      QStringLiteral("Index the selected entry again, or every entry when none is selected (F5)"));
    rename_ = button("LibraryRename", QStringLiteral("Re&name"), QStringLiteral("Rename the selected entry (F2)"));
    locate_ = button("LibraryLocate", QStringLiteral("&Locate..."),
                     QStringLiteral("Tell the selected entry where its moved folder or image is now"));
    remove_ = button("LibraryRemove", QStringLiteral("Re&move"), QStringLiteral("Remove the selected entry"));
    buttons->addStretch(1);
    row->addLayout(buttons);
    setWidget(body);

    connect(add_, &QPushButton::clicked, this, &LibraryPane::addClick);
    connect(add_image_, &QPushButton::clicked, this, &LibraryPane::addImageClick);
    connect(refresh_, &QPushButton::clicked, this, &LibraryPane::refreshClick);
    connect(rename_, &QPushButton::clicked, this, &LibraryPane::renameClick);
    connect(locate_, &QPushButton::clicked, this, &LibraryPane::locateClick);
    connect(remove_, &QPushButton::clicked, this, &LibraryPane::removeClick);
    connect(list_, &QTreeWidget::itemChanged, this, &LibraryPane::itemChanged);
    connect(list_, &QTreeWidget::itemSelectionChanged, this, &LibraryPane::enableButtons);
}

void LibraryPane::enableButtons() {
    QTreeWidgetItem *item = selectedItem();
    rename_->setEnabled(item != nullptr);
    remove_->setEnabled(item != nullptr);
    // A disc is found wherever it is mounted; a folder or an image may need to be shown the way.
    locate_->setEnabled(item && item->data(PRESENT, ABSENT_ROLE).toBool() &&
                        item->data(KIND, KIND_ROLE).toInt() != static_cast<int>(VolumeKind::disc));
}

void LibraryPane::reload() {
    std::string selected = selectedItem() ? entry_of(selectedItem()) : "";
    QSet<QString> unchecked = unchecked_names();
    filling = true;
    list_->clear();
    {
        KeepIdxDir keep;
        for (const std::string &name : library_names()) {
            LibraryEntry e = describe_entry(name);
            auto *item = new QTreeWidgetItem;
            item->setText(NAME, text_of(name));
            item->setData(NAME, NAME_ROLE, QByteArray::fromStdString(name));
            item->setFlags(item->flags() | Qt::ItemIsEditable | Qt::ItemIsUserCheckable);
            item->setCheckState(NAME, unchecked.contains(settings_name(name)) ? Qt::Unchecked : Qt::Checked);
            item->setToolTip(NAME, QStringLiteral("Checked: searched from the word box"));
            if (!e.loads) {
                item->setText(PRESENT, QStringLiteral("unreadable"));
                item->setToolTip(PRESENT, text_of(e.problem));
            } else {
                const IndexVolume &v = e.volume;
                item->setText(KIND, QLatin1String(kind_name(v.kind)));
                item->setData(KIND, KIND_ROLE, static_cast<int>(v.kind));
                item->setText(FILES, QString::number(v.files));
                item->setTextAlignment(FILES, Qt::AlignRight | Qt::AlignVCenter);
                if (v.made > 0)
                    item->setText(DATE, QDateTime::fromSecsSinceEpoch(v.made).toString(QStringLiteral("yyyy-MM-dd hh:mm")));
                if (v.found_at.empty()) {
                    item->setText(PRESENT, QStringLiteral("absent"));
                    item->setData(PRESENT, ABSENT_ROLE, true);
                    item->setToolTip(PRESENT, QStringLiteral("It was at %1").arg(text_of(v.where)));
                } else {
                    item->setText(PRESENT, QStringLiteral("present"));
                    item->setToolTip(PRESENT, text_of(v.found_at));
                }
            }
            list_->addTopLevelItem(item);
            if (name == selected) item->setSelected(true);
        }
    }
    filling = false;
    enableButtons();
    // At start the pane shows only when there is something in it; afterwards the user decides.
    if (!listed_once) {
        listed_once = true;
        setVisible(list_->topLevelItemCount() > 0);
    }
    emit entriesRead();
    emit entriesChanged();
}

std::vector<std::string> LibraryPane::checkedEntries() const {
    std::vector<std::string> names;
    for (int i = 0; i < list_->topLevelItemCount(); i++) {
        QTreeWidgetItem *item = list_->topLevelItem(i);
        if (item->checkState(NAME) == Qt::Checked) names.push_back(entry_of(item));
    }
    return names;
}

int LibraryPane::entryCount() const { return list_->topLevelItemCount(); }

QTreeWidgetItem *LibraryPane::selectedItem() const {
    QList<QTreeWidgetItem *> items = list_->selectedItems();
    return items.isEmpty() ? nullptr : items.first();
}

void LibraryPane::saveChecked() {
    // Only the unchecked are kept: a new entry is searched until the user says otherwise.
    QSet<QString> unchecked = unchecked_names();
    for (int i = 0; i < list_->topLevelItemCount(); i++) {
        QTreeWidgetItem *item = list_->topLevelItem(i);
        QString key = settings_name(entry_of(item));
        if (item->checkState(NAME) == Qt::Checked)
            unchecked.remove(key);
        else
            unchecked.insert(key);
    }
    save_unchecked(unchecked);
}

void LibraryPane::addClick() { addPath(choose_dir_hook(this, QDir::homePath())); }

void LibraryPane::addImageClick() { addPath(choose_image_hook(this, QDir::homePath())); }

void LibraryPane::addPath(const QString &chosen) {
    if (chosen.isEmpty()) return;
    std::string path = normalize_path(QFile::encodeName(chosen).toStdString());
    if (path.empty() || !valid_index_path(path.c_str())) {
        show_message(this, QStringLiteral("Please enter a valid pathname !"), QStringLiteral("Invalid Path"));
        return;
    }
    std::string had;
    {
        KeepIdxDir keep;
        had = entry_of_path(path);
    }
    emit entriesRead();
    if (!had.empty()) {
        show_message(this,
                     QStringLiteral("%1 is in the library already, as '%2'. Refresh it to index it again.")
                         .arg(text_of(path), text_of(had)),
                     QStringLiteral("Library"), QMessageBox::Information);
        return;
    }
    std::string name = new_entry_name(volume_label(path.c_str()));
    std::string why;
    if (make_entry(name, &why) != 0) {
        show_message(this, text_of(why), QStringLiteral("Library"), QMessageBox::Warning);
        return;
    }
    emit runRequested(QByteArray::fromStdString(name), QByteArray::fromStdString(path), true);
}

void LibraryPane::refreshClick() {
    std::vector<std::string> names;
    if (QTreeWidgetItem *item = selectedItem())
        names.push_back(entry_of(item));
    else
        names = library_names();
    QStringList problems;
    std::vector<std::pair<std::string, std::string>> runs;
    {
        KeepIdxDir keep;
        for (const std::string &name : names) {
            std::string why;
            if (load_entry(name, &why) != 0) {
                problems << QStringLiteral("%1: %2").arg(text_of(name), text_of(why));
                continue;
            }
            IndexVolume v = index_volume();
            if (v.found_at.empty()) {
                problems << QStringLiteral("'%1' is not present: %2").arg(text_of(name), state_reason(ResultState::absent, v));
                continue;
            }
            // The indexed path, moved with its volume: the part below where the volume was stays.
            std::string path = v.path;
            if (v.found_at != v.where && path.compare(0, v.where.size(), v.where) == 0)
                path = v.found_at + path.substr(v.where.size());
            runs.emplace_back(name, path);
        }
    }
    emit entriesRead();
    if (!problems.isEmpty())
        show_message(this, problems.join(QLatin1Char('\n')), QStringLiteral("Library"), QMessageBox::Warning);
    for (const auto &[name, path] : runs)
        emit runRequested(QByteArray::fromStdString(name), QByteArray::fromStdString(path), false);
}

void LibraryPane::renameClick() {
    if (QTreeWidgetItem *item = selectedItem()) list_->editItem(item, NAME);
}

void LibraryPane::locateClick() {
    QTreeWidgetItem *item = selectedItem();
    if (!item) return;
    bool image = item->data(KIND, KIND_ROLE).toInt() == static_cast<int>(VolumeKind::image);
    QString chosen = image ? choose_image_hook(this, QDir::homePath()) : choose_dir_hook(this, QDir::homePath());
    if (chosen.isEmpty()) return;
    std::string name = entry_of(item), why;
    QString problem;
    {
        KeepIdxDir keep;
        if (locate_entry(name, QFile::encodeName(chosen).toStdString(), &why) != 0) {
            problem = text_of(why);
        } else if (LibraryEntry e = describe_entry(name); !e.loads || e.volume.found_at.empty()) {
            problem = QStringLiteral("%1 does not hold the volume '%2' was made of.").arg(chosen, text_of(name));
        }
    }
    if (!problem.isEmpty()) show_message(this, problem, QStringLiteral("Library"), QMessageBox::Warning);
    reload();
}

void LibraryPane::itemChanged(QTreeWidgetItem *item, int column) {
    if (filling || column != NAME) return;
    std::string from = entry_of(item);
    QString shown = text_of(from);
    if (item->text(NAME) == shown) { // the check box
        saveChecked();
        emit entriesChanged();
        return;
    }
    std::string to = QFile::encodeName(item->text(NAME).trimmed()).toStdString();
    std::string why;
    if (rename_entry(from, to, &why) != 0) {
        show_message(this, QStringLiteral("'%1' cannot be renamed: %2").arg(shown, text_of(why)),
                     QStringLiteral("Library"), QMessageBox::Warning);
        filling = true;
        item->setText(NAME, shown);
        filling = false;
        return;
    }
    // The new name keeps the old one's check.
    QSet<QString> unchecked = unchecked_names();
    if (unchecked.remove(settings_name(from))) {
        unchecked.insert(settings_name(to));
        save_unchecked(unchecked);
    }
    filling = true;
    item->setData(NAME, NAME_ROLE, QByteArray::fromStdString(to));
    item->setText(NAME, text_of(to));
    filling = false;
    emit entriesChanged();
}

void LibraryPane::removeClick() {
    QTreeWidgetItem *item = selectedItem();
    if (!item) return;
    std::string name = entry_of(item);
    if (!confirm_hook(this,
                      QStringLiteral("Remove '%1' from the library? Its index is deleted; the indexed files are "
                                     "not touched.")
                          .arg(text_of(name)),
                      QStringLiteral("Remove")))
        return;
    std::string why;
    if (remove_entry(name, &why) != 0) {
        show_message(this, QStringLiteral("'%1' cannot be removed: %2").arg(text_of(name), text_of(why)),
                     QStringLiteral("Library"), QMessageBox::Warning);
        return;
    }
    QSet<QString> unchecked = unchecked_names();
    if (unchecked.remove(settings_name(name))) save_unchecked(unchecked);
    delete item;
    emit entriesChanged();
}
