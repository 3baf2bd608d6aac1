#include "app/win32/config_dialog_win32.h"

#include "resources/resource_ids.h"

static_assert(IDC_DELAY == kIdDelay && IDC_ENTRY == kIdEntry && IDC_DROPANY == kIdDropAny &&
              IDC_RULELIST == kIdRuleList && IDC_START_SUNDAY == kIdStartFirst &&
              IDC_STOP_SUNDAY == kIdStopFirst && IDC_ADD == kIdAdd && IDC_REMOVE == kIdRemove &&
              IDC_NAME == kIdName && IDOK == kIdOk && IDCANCEL == kIdCancel);

namespace {

HWND Window(void* ctx) {
    return static_cast<Win32ConfigDialog*>(ctx)->window;
}

LRESULT SendItem(void* ctx, int control, UINT message, WPARAM wParam, LPARAM lParam) {
    return SendDlgItemMessageA(Window(ctx), control, message, wParam, lParam);
}

LPARAM TextParam(const char* text) {
    return reinterpret_cast<LPARAM>(text);
}

void SetText(void* ctx, int control, const char* text) {
    SetDlgItemTextA(Window(ctx), control, text);
}

void GetText(void* ctx, int control, char* buffer, size_t size) {
    if (size == 0) return;
    buffer[0] = '\0';
    int bounded = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
    GetDlgItemTextA(Window(ctx), control, buffer, bounded);
}

// The caret is the end of the edit's selection (where typing goes on).
int GetCaret(void* ctx, int control) {
    DWORD end = 0;
    SendItem(ctx, control, EM_GETSEL, 0, reinterpret_cast<LPARAM>(&end));
    return static_cast<int>(end);
}

void SetCaret(void* ctx, int control, int position) {
    SendItem(ctx, control, EM_SETSEL, static_cast<WPARAM>(position), position);
}

void SetChecked(void* ctx, int control, bool checked) {
    CheckDlgButton(Window(ctx), control, checked ? BST_CHECKED : BST_UNCHECKED);
}

bool IsChecked(void* ctx, int control) {
    return IsDlgButtonChecked(Window(ctx), control) == BST_CHECKED;
}

void AddEntry(void* ctx, const char* name) {
    SendItem(ctx, kIdEntry, CB_ADDSTRING, 0, TextParam(name));
}

// The combo box's own prefix search, from the top of its sorted list. An
// empty prefix matches every entry, so the first one is selected.
void SelectEntryByPrefix(void* ctx, const char* prefix) {
    if (prefix[0] == '\0') {
        if (SendItem(ctx, kIdEntry, CB_GETCOUNT, 0, 0) > 0) {
            SendItem(ctx, kIdEntry, CB_SETCURSEL, 0, 0);
        }
        return;
    }
    SendItem(ctx, kIdEntry, CB_SELECTSTRING, static_cast<WPARAM>(-1), TextParam(prefix));
}

void ListAppend(void* ctx, const char* text) {
    SendItem(ctx, kIdRuleList, LB_ADDSTRING, 0, TextParam(text));
}

void ListInsert(void* ctx, int index, const char* text) {
    SendItem(ctx, kIdRuleList, LB_INSERTSTRING, static_cast<WPARAM>(index), TextParam(text));
}

void ListDelete(void* ctx, int index) {
    SendItem(ctx, kIdRuleList, LB_DELETESTRING, static_cast<WPARAM>(index), 0);
}

void ListSelect(void* ctx, int index) {
    SendItem(ctx, kIdRuleList, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int ListSelection(void* ctx) {
    LRESULT index = SendItem(ctx, kIdRuleList, LB_GETCURSEL, 0, 0);
    return index == LB_ERR ? kNoSelection : static_cast<int>(index);
}

void Beep(void*) {
    MessageBeep(MB_ICONHAND);
}

void ShowError(void* ctx, const char* text, const char* caption) {
    MessageBoxA(Window(ctx), text, caption, MB_OK | MB_ICONERROR);
}

void EndDialogWith(void* ctx, int result) {
    EndDialog(Window(ctx), result);
}

void OnCommand(ConfigDialog* dialog, int control, int code) {
    if (code == EN_CHANGE) {
        if (IsTimeField(control)) OnTimeFieldChanged(dialog, control);
        if (control == kIdName) OnNameChanged(dialog);
        return;
    }
    if (control == kIdRuleList) {
        if (code == LBN_SELCHANGE) OnRuleSelectionChanged(dialog);
        return;
    }
    if (code != BN_CLICKED) return;
    switch (control) {
        case kIdAdd:
            OnAddRule(dialog);
            break;
        case kIdRemove:
            OnRemoveRule(dialog);
            break;
        case kIdOk:
            OnOk(dialog);
            break;
        case kIdCancel:
            OnCancel(dialog);
            break;
        default:
            break;
    }
}

}  // namespace

void InitWin32ConfigDialog(Win32ConfigDialog* dialog, SharedState* shared,
                           const DialUpService* service) {
    dialog->window = nullptr;
    dialog->core.shared = shared;
    dialog->core.service = service;
    dialog->core.open = false;
    DialogView& view = dialog->core.view;
    view.ctx = dialog;
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
    view.endDialog = &EndDialogWith;
    view.getCaret = &GetCaret;
    view.setCaret = &SetCaret;
}

namespace {

INT_PTR CALLBACK ConfigDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* dialog = reinterpret_cast<Win32ConfigDialog*>(lParam);
        SetWindowLongPtrA(window, DWLP_USER, lParam);
        dialog->window = window;
        dialog->core.open = true;
        OnDialogInit(&dialog->core);
        return TRUE;  // the default focus: field 1000, the first tab stop
    }
    if (message == WM_COMMAND) {
        auto* dialog = reinterpret_cast<Win32ConfigDialog*>(GetWindowLongPtrA(window, DWLP_USER));
        if (dialog != nullptr) OnCommand(&dialog->core, LOWORD(wParam), HIWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

}  // namespace

int RunConfigDialog(Win32ConfigDialog* dialog, HINSTANCE instance, HWND owner) {
    INT_PTR result = DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_CONFIG), owner,
                                     &ConfigDialogProc, reinterpret_cast<LPARAM>(dialog));
    dialog->window = nullptr;
    dialog->core.open = false;
    return result == kDialogOk ? kDialogOk : kDialogCancel;
}

HWND CreateConfigDialogModeless(Win32ConfigDialog* dialog, HINSTANCE instance, HWND owner) {
    return CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_CONFIG), owner, &ConfigDialogProc,
                              reinterpret_cast<LPARAM>(dialog));
}
