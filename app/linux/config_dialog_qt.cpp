#include "app/linux/config_dialog_qt.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>
#include <vector>

#include "common/text.h"
#include "resources/ui_texts.h"

static_assert(std::size(kUiDayNames) == kDaysPerWeek);

namespace {

QtConfigDialog* Self(void* ctx) {
    return static_cast<QtConfigDialog*>(ctx);
}

QString FromUtf8(const char* text) {
    return QString::fromUtf8(text);
}

}  // namespace

void CopyUtf8Bounded(const QString& text, char* buffer, size_t size) {
    if (size == 0) return;
    const QByteArray bytes = text.toUtf8();
    size_t n = Utf8Prefix(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())),
                          size - 1);
    memcpy(buffer, bytes.constData(), n);
    buffer[n] = '\0';
}

QtConfigDialog::QtConfigDialog(ConfigDialog* core, QWidget* parent) : QDialog(parent), core_(core) {
    setWindowTitle(QStringLiteral(UI_DIALOG_TITLE));
    Build();
    DialogView view{};
    view.ctx = this;
    view.setText = &SetText;
    view.getText = &GetText;
    view.setChecked = &SetChecked;
    view.isChecked = &IsChecked;
    view.addEntry = &AddEntry;
    view.selectEntryByPrefix = &SelectEntryByPrefix;
    view.listAppend = &ListAppend;
    view.listInsert = &ListInsert;
    view.listDelete = &ListDelete;
    view.listSelect = &ListSelect;
    view.listSelection = &ListSelection;
    view.beep = &Beep;
    view.showError = &ShowError;
    view.endDialog = &EndDialog;
    view.getCaret = &GetCaret;
    view.setCaret = &SetCaret;
    core_->view = view;
}

// The controls are created in the keyboard order: pause, entry, check box,
// rule list, "Aggiungi", "Rimuovi", name, then each day's start and stop,
// then OK and "Annulla".
void QtConfigDialog::Build() {
    auto* delayLabel = new QLabel(QStringLiteral(UI_PAUSE_LABEL), this);
    delay_ = new QLineEdit(this);
    auto* entryLabel = new QLabel(QStringLiteral(UI_ENTRY_LABEL), this);
    entry_ = new QComboBox(this);
    entry_->setEditable(true);
    entry_->setInsertPolicy(QComboBox::NoInsert);
    entry_->lineEdit()->setMaxLength(kRasEntrySize - 1);
    entry_->setMinimumContentsLength(24);
    dropAny_ = new QCheckBox(QStringLiteral(UI_DROP_ANY), this);
    auto* rulesLabel = new QLabel(QStringLiteral(UI_RULES_LABEL), this);
    rules_ = new QListWidget(this);
    rules_->setSelectionMode(QAbstractItemView::SingleSelection);
    add_ = new QPushButton(QStringLiteral(UI_ADD), this);
    remove_ = new QPushButton(QStringLiteral(UI_REMOVE), this);
    auto* nameLabel = new QLabel(QStringLiteral(UI_NAME), this);
    name_ = new QLineEdit(this);
    auto* fromLabel = new QLabel(QStringLiteral(UI_FROM), this);
    auto* toLabel = new QLabel(QStringLiteral(UI_TO), this);
    QLabel* dayLabels[kDaysPerWeek];
    const int timeWidth = delay_->fontMetrics().horizontalAdvance(QStringLiteral("00:000")) + 16;
    for (int d = 0; d < kDaysPerWeek; ++d) {
        dayLabels[d] = new QLabel(QString::fromLatin1(kUiDayNames[d]), this);
        start_[d] = new QLineEdit(this);
        stop_[d] = new QLineEdit(this);
        start_[d]->setFixedWidth(timeWidth);
        stop_[d]->setFixedWidth(timeWidth);
    }
    ok_ = new QPushButton(QStringLiteral(UI_OK), this);
    cancel_ = new QPushButton(QStringLiteral(UI_CANCEL), this);
    ok_->setDefault(true);
    add_->setAutoDefault(false);
    remove_->setAutoDefault(false);
    cancel_->setAutoDefault(false);
    delay_->setFixedWidth(timeWidth + 16);

    auto* general = new QGridLayout;
    general->addWidget(delayLabel, 0, 0);
    general->addWidget(delay_, 0, 1, Qt::AlignLeft);
    general->addWidget(entryLabel, 1, 0);
    general->addWidget(entry_, 1, 1);
    general->addWidget(dropAny_, 2, 0, 1, 2);
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    buttons->addStretch();
    auto* top = new QHBoxLayout;
    top->addLayout(general, 1);
    top->addSpacing(12);
    top->addLayout(buttons);

    auto* listButtons = new QHBoxLayout;
    listButtons->addStretch();
    listButtons->addWidget(add_);
    listButtons->addWidget(remove_);
    listButtons->addStretch();
    auto* listColumn = new QVBoxLayout;
    listColumn->addWidget(rules_, 1);
    listColumn->addLayout(listButtons);

    auto* rule = new QGridLayout;
    rule->addWidget(nameLabel, 0, 0);
    rule->addWidget(name_, 0, 1, 1, 2);
    rule->addWidget(fromLabel, 1, 1, Qt::AlignHCenter);
    rule->addWidget(toLabel, 1, 2, Qt::AlignHCenter);
    for (int d = 0; d < kDaysPerWeek; ++d) {
        rule->addWidget(dayLabels[d], 2 + d, 0);
        rule->addWidget(start_[d], 2 + d, 1);
        rule->addWidget(stop_[d], 2 + d, 2);
    }
    rule->setRowStretch(2 + kDaysPerWeek, 1);
    auto* rulesRow = new QHBoxLayout;
    rulesRow->addLayout(listColumn, 1);
    rulesRow->addSpacing(12);
    rulesRow->addLayout(rule);

    auto* main = new QVBoxLayout(this);
    // The dialog keeps the size its contents ask for, as the Windows dialog
    // does: a tiling desktop then floats it instead of stretching it.
    main->setSizeConstraint(QLayout::SetFixedSize);
    main->addLayout(top);
    main->addSpacing(8);
    main->addWidget(rulesLabel);
    main->addLayout(rulesRow, 1);

    QWidget* order[] = {delay_, entry_, dropAny_, rules_, add_, remove_, name_};
    for (size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
    QWidget* previous = name_;
    for (int d = 0; d < kDaysPerWeek; ++d) {
        setTabOrder(previous, start_[d]);
        setTabOrder(start_[d], stop_[d]);
        previous = stop_[d];
    }
    setTabOrder(previous, ok_);
    setTabOrder(ok_, cancel_);
    delay_->setFocus();

    connect(rules_, &QListWidget::itemSelectionChanged, this,
            [this] { OnRuleSelectionChanged(core_); });
    connect(name_, &QLineEdit::textChanged, this, [this] { NameEdited(); });
    for (int d = 0; d < kDaysPerWeek; ++d) {
        connect(start_[d], &QLineEdit::textChanged, this,
                [this, d] { OnTimeFieldChanged(core_, kIdStartFirst + d); });
        connect(stop_[d], &QLineEdit::textChanged, this,
                [this, d] { OnTimeFieldChanged(core_, kIdStopFirst + d); });
    }
    connect(add_, &QPushButton::clicked, this, [this] { OnAddRule(core_); });
    connect(remove_, &QPushButton::clicked, this, [this] { OnRemoveRule(core_); });
    connect(ok_, &QPushButton::clicked, this, [this] { OnOk(core_); });
    connect(cancel_, &QPushButton::clicked, this, [this] { reject(); });

    adjustSize();
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

QWidget* QtConfigDialog::Control(int id) const {
    switch (id) {
        case kIdOk:
            return ok_;
        case kIdCancel:
            return cancel_;
        case kIdDelay:
            return delay_;
        case kIdEntry:
            return entry_;
        case kIdDropAny:
            return dropAny_;
        case kIdRuleList:
            return rules_;
        case kIdAdd:
            return add_;
        case kIdRemove:
            return remove_;
        case kIdName:
            return name_;
        default:
            break;
    }
    if (!IsTimeField(id)) return nullptr;
    return id < kIdStopFirst ? start_[id - kIdStartFirst] : stop_[id - kIdStopFirst];
}

QLineEdit* QtConfigDialog::LineEdit(int id) const {
    if (id == kIdEntry) return entry_->lineEdit();
    return qobject_cast<QLineEdit*>(Control(id));
}

void QtConfigDialog::reject() {
    OnCancel(core_);
}

void QtConfigDialog::NameEdited() {
    OnNameChanged(core_);
}

void QtConfigDialog::SetText(void* ctx, int control, const char* text) {
    QLineEdit* edit = Self(ctx)->LineEdit(control);
    if (edit != nullptr) edit->setText(FromUtf8(text));
}

// The core counts the caret in the UTF-8 bytes it reads through GetText;
// QLineEdit counts UTF-16 units.
int QtConfigDialog::GetCaret(void* ctx, int control) {
    QLineEdit* edit = Self(ctx)->LineEdit(control);
    if (edit == nullptr) return 0;
    return static_cast<int>(edit->text().left(edit->cursorPosition()).toUtf8().size());
}

void QtConfigDialog::SetCaret(void* ctx, int control, int position) {
    QLineEdit* edit = Self(ctx)->LineEdit(control);
    if (edit == nullptr) return;
    const QByteArray bytes = edit->text().toUtf8();
    const int cut = position < 0 ? 0 : std::min(position, static_cast<int>(bytes.size()));
    edit->setCursorPosition(static_cast<int>(QString::fromUtf8(bytes.left(cut)).size()));
}

void QtConfigDialog::GetText(void* ctx, int control, char* buffer, size_t size) {
    if (size == 0) return;
    buffer[0] = '\0';
    QLineEdit* edit = Self(ctx)->LineEdit(control);
    if (edit != nullptr) CopyUtf8Bounded(edit->text(), buffer, size);
}

void QtConfigDialog::SetChecked(void* ctx, int control, bool checked) {
    if (control == kIdDropAny) Self(ctx)->dropAny_->setChecked(checked);
}

bool QtConfigDialog::IsChecked(void* ctx, int control) {
    return control == kIdDropAny && Self(ctx)->dropAny_->isChecked();
}

// The list is kept sorted as entries arrive, without regard to case, like a
// sorted combo box; equal names keep their arrival order.
void QtConfigDialog::AddEntry(void* ctx, const char* name) {
    QComboBox* combo = Self(ctx)->entry_;
    const QByteArray incoming(name);
    int at = combo->count();
    for (int i = 0; i < combo->count(); ++i) {
        if (CompareNoCase(incoming.constData(), combo->itemText(i).toUtf8().constData()) < 0) {
            at = i;
            break;
        }
    }
    combo->insertItem(at, FromUtf8(name));
    combo->setCurrentIndex(-1);
    combo->setEditText(QString());
}

void QtConfigDialog::SelectEntryByPrefix(void* ctx, const char* prefix) {
    QComboBox* combo = Self(ctx)->entry_;
    std::vector<QByteArray> names;
    std::vector<const char*> pointers;
    for (int i = 0; i < combo->count(); ++i) names.push_back(combo->itemText(i).toUtf8());
    for (const QByteArray& n : names) pointers.push_back(n.constData());
    const int found = FindEntryByPrefix(pointers.data(), static_cast<int>(pointers.size()), prefix);
    combo->setCurrentIndex(found);
    if (found < 0) combo->setEditText(QString());
}

void QtConfigDialog::ListAppend(void* ctx, const char* text) {
    QListWidget* list = Self(ctx)->rules_;
    QSignalBlocker quiet(list);
    list->addItem(FromUtf8(text));
}

void QtConfigDialog::ListInsert(void* ctx, int index, const char* text) {
    QListWidget* list = Self(ctx)->rules_;
    QSignalBlocker quiet(list);
    list->insertItem(index, FromUtf8(text));
}

void QtConfigDialog::ListDelete(void* ctx, int index) {
    QListWidget* list = Self(ctx)->rules_;
    QSignalBlocker quiet(list);
    delete list->takeItem(index);
}

void QtConfigDialog::ListSelect(void* ctx, int index) {
    QListWidget* list = Self(ctx)->rules_;
    QSignalBlocker quiet(list);
    if (index < 0 || index >= list->count()) {
        list->clearSelection();
        list->setCurrentRow(-1);
        return;
    }
    list->setCurrentRow(index, QItemSelectionModel::ClearAndSelect);
}

int QtConfigDialog::ListSelection(void* ctx) {
    QListWidget* list = Self(ctx)->rules_;
    const QList<QListWidgetItem*> selected = list->selectedItems();
    if (selected.isEmpty()) return kNoSelection;
    return list->row(selected.first());
}

void QtConfigDialog::Beep(void* ctx) {
    ++Self(ctx)->beeps_;
    QApplication::beep();
}

void QtConfigDialog::ShowError(void* ctx, const char* text, const char* caption) {
    QMessageBox box(QMessageBox::Critical, FromUtf8(caption), FromUtf8(text), QMessageBox::Ok,
                    Self(ctx));
    box.exec();
}

void QtConfigDialog::EndDialog(void* ctx, int result) {
    Self(ctx)->done(result);
}
