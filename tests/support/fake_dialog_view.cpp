#include "support/fake_dialog_view.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/text.h"

namespace {

void Require(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "fake dialog view: violated: %s\n", what);
    abort();
}

FakeDialogView* Self(void* ctx) {
    return static_cast<FakeDialogView*>(ctx);
}

int Size(const std::vector<std::string>& lines) {
    return static_cast<int>(lines.size());
}

}  // namespace

void FakeDialogView::ReportChange(int id) {
    if (id == kIdName) OnNameChanged(dialog);
    if (IsTimeField(id)) OnTimeFieldChanged(dialog, id);
}

void FakeDialogView::Paste(int id, const std::string& text) {
    edits[id].text = text;
    edits[id].selStart = edits[id].selEnd = text.size();
    ReportChange(id);
}

std::vector<std::string> FakeDialogView::Type(int id, size_t from, size_t to,
                                              const std::string& keys) {
    edits[id].selStart = from;
    edits[id].selEnd = to;
    std::vector<std::string> shown;
    for (char key : keys) {
        EditControl& e = edits[id];
        size_t start = std::min(e.selStart, e.text.size());
        size_t end = std::min(std::max(e.selEnd, start), e.text.size());
        if (key == '\b' && start == end && start > 0) --start;
        e.text.replace(start, end - start, key == '\b' ? "" : std::string(1, key));
        e.selStart = e.selEnd = start + (key == '\b' ? 0 : 1);
        ReportChange(id);
        shown.push_back(edits[id].text);
    }
    return shown;
}

void FakeDialogView::Click(int line) {
    listSel = line;
    OnRuleSelectionChanged(dialog);
}

DialogView FakeDialogView::Bind(bool withCarets) {
    DialogView v{};
    v.ctx = this;
    // Like a Windows edit control, a new text puts the caret at the start.
    v.setText = [](void* ctx, int id, const char* text) {
        FakeDialogView* f = Self(ctx);
        f->edits[id].text = text;
        f->edits[id].selStart = f->edits[id].selEnd = 0;
        if (id == kIdName || IsTimeField(id)) ++f->reportsFromSetText;
        f->ReportChange(id);
    };
    v.getText = [](void* ctx, int id, char* buffer, size_t size) {
        Require(size > 0, "getText with room");
        std::string text = Self(ctx)->edits[id].text.substr(0, size - 1);
        memcpy(buffer, text.c_str(), text.size() + 1);
    };
    v.setChecked = [](void* ctx, int id, bool checked) {
        Require(id == kIdDropAny, "only the check box is checked");
        Self(ctx)->dropAnyChecked = checked;
    };
    v.isChecked = [](void* ctx, int id) {
        Require(id == kIdDropAny, "only the check box is read as checked");
        return Self(ctx)->dropAnyChecked;
    };
    v.addEntry = [](void* ctx, const char* name) {
        Require(strlen(name) < kEntryNameFieldSize, "entry names fit their field");
        FakeDialogView* f = Self(ctx);
        f->addedEntries.push_back(name);
        auto at = std::upper_bound(f->comboItems.begin(), f->comboItems.end(), std::string(name),
                                   [](const std::string& a, const std::string& b) {
                                       return CompareNoCase(a.c_str(), b.c_str()) < 0;
                                   });
        f->comboItems.insert(at, name);
    };
    v.selectEntryByPrefix = [](void* ctx, const char* prefix) {
        FakeDialogView* f = Self(ctx);
        f->edits[kIdEntry].text.clear();
        for (const std::string& item : f->comboItems) {
            if (StartsWithNoCase(item.c_str(), prefix)) {
                f->edits[kIdEntry].text = item;
                break;
            }
        }
    };
    v.listAppend = [](void* ctx, const char* text) { Self(ctx)->list.push_back(text); };
    v.listInsert = [](void* ctx, int index, const char* text) {
        FakeDialogView* f = Self(ctx);
        Require(index >= 0 && index <= Size(f->list), "insert inside the list");
        f->list.insert(f->list.begin() + index, text);
        if (f->listSel >= index) ++f->listSel;
    };
    v.listDelete = [](void* ctx, int index) {
        FakeDialogView* f = Self(ctx);
        Require(index >= 0 && index < Size(f->list), "delete a listed line");
        f->list.erase(f->list.begin() + index);
        if (f->listSel == index) f->listSel = kNoSelection;
        if (f->listSel > index) --f->listSel;
    };
    v.listSelect = [](void* ctx, int index) {
        FakeDialogView* f = Self(ctx);
        Require(index == kNoSelection || (index >= 0 && index < Size(f->list)),
                "select a listed line or none");
        f->listSel = index;
    };
    v.listSelection = [](void* ctx) { return Self(ctx)->listSel; };
    v.beep = [](void* ctx) { ++Self(ctx)->beeps; };
    v.showError = [](void* ctx, const char* text, const char* caption) {
        Self(ctx)->errors.emplace_back(text, caption);
    };
    v.endDialog = [](void* ctx, int result) { Self(ctx)->endResults.push_back(result); };
    if (withCarets) {
        v.getCaret = [](void* ctx, int id) {
            return static_cast<int>(Self(ctx)->edits[id].selEnd);
        };
        v.setCaret = [](void* ctx, int id, int position) {
            EditControl& e = Self(ctx)->edits[id];
            e.selStart = e.selEnd = static_cast<size_t>(position);
        };
    }
    return v;
}
