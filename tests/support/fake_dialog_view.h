// The one fake of the dialog's view, shared by the tests and the fuzzer: a
// dialog's controls, simulated. Edit fields hold text and a selection (the
// caret is an empty one); a text the dialog sets reports its change back into
// the dialog before setText returns, as Windows edit controls do, and leaves
// the caret at the start. The list holds lines and one selection, the combo
// box keeps its items sorted without regard to case, and the rest is
// recorded. A call no dialog may make (a line outside the list, a check box
// other than the one, a getText without room, an entry name longer than its
// field) is printed and aborts the process.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "app/dialog/config_dialog.h"

struct EditControl {
    std::string text;
    size_t selStart = 0, selEnd = 0;
};

struct FakeDialogView {
    ConfigDialog* dialog = nullptr;
    std::map<int, EditControl> edits;  // includes the combo box's text part
    std::vector<std::string> comboItems;
    std::vector<std::string> addedEntries;  // in the order the dialog passed them
    std::vector<std::string> list;
    int listSel = kNoSelection;
    bool dropAnyChecked = false;
    int beeps = 0;
    std::vector<std::pair<std::string, std::string>> errors;  // text, caption
    std::vector<int> endResults;
    int reportsFromSetText = 0;

    std::string Text(int id) { return edits[id].text; }

    // The change report an edit control sends for id.
    void ReportChange(int id);
    // The user replaces the whole text at once (a paste over everything).
    void Paste(int id, const std::string& text);
    // The user selects [from, to) and then types keys one at a time ('\b' is
    // Backspace). Returns the field's text after each key.
    std::vector<std::string> Type(int id, size_t from, size_t to, const std::string& keys);
    // The user clicks a line (kNoSelection: below the last one).
    void Click(int line);

    // The view for dialog.view; withCarets false binds a toolkit without
    // carets (getCaret and setCaret null).
    DialogView Bind(bool withCarets = true);
};
