// The configuration dialog on Qt Widgets. The widgets are laid out with Qt's
// layouts; everything the dialog does is the core's (config_dialog.h): this
// class forwards every edit, selection and button to the On... functions and
// serves the DialogView through which they read and write the widgets.
#pragma once

#include <QDialog>
#include <QString>

#include "app/dialog/config_dialog.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;
class QPushButton;

class QtConfigDialog : public QDialog {
    Q_OBJECT
  public:
    // core outlives the dialog; its view is pointed at this dialog.
    explicit QtConfigDialog(ConfigDialog* core, QWidget* parent = nullptr);

    // The widget of a control id (kIdDelay, kIdEntry, ...), or null.
    QWidget* Control(int id) const;
    // How often the error beep sounded (a full rule table).
    int BeepCount() const { return beeps_; }

  protected:
    // Escape and the close button end the dialog as "Annulla" does.
    void reject() override;

  private:
    void Build();
    QLineEdit* LineEdit(int id) const;
    void NameEdited();

    // DialogView.
    static void SetText(void* ctx, int control, const char* text);
    static void GetText(void* ctx, int control, char* buffer, size_t size);
    static int GetCaret(void* ctx, int control);
    static void SetCaret(void* ctx, int control, int position);
    static void SetChecked(void* ctx, int control, bool checked);
    static bool IsChecked(void* ctx, int control);
    static void AddEntry(void* ctx, const char* name);
    static void SelectEntryByPrefix(void* ctx, const char* prefix);
    static void ListAppend(void* ctx, const char* text);
    static void ListInsert(void* ctx, int index, const char* text);
    static void ListDelete(void* ctx, int index);
    static void ListSelect(void* ctx, int index);
    static int ListSelection(void* ctx);
    static void Beep(void* ctx);
    static void ShowError(void* ctx, const char* text, const char* caption);
    static void EndDialog(void* ctx, int result);

    ConfigDialog* core_;
    QLineEdit* delay_ = nullptr;
    QComboBox* entry_ = nullptr;
    QCheckBox* dropAny_ = nullptr;
    QListWidget* rules_ = nullptr;
    QPushButton* add_ = nullptr;
    QPushButton* remove_ = nullptr;
    QLineEdit* name_ = nullptr;
    QLineEdit* start_[kDaysPerWeek] = {};
    QLineEdit* stop_[kDaysPerWeek] = {};
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
    int beeps_ = 0;
};

// Copies text as UTF-8 into buffer, cut to at most size - 1 bytes without
// splitting a character, and terminates it.
void CopyUtf8Bounded(const QString& text, char* buffer, size_t size);
