// The program's Italian texts: the tray menu, the configuration dialog, its
// messages and the Linux program's no-tray notice. One list for the resource
// script (teleora.rc), the portable core and the Qt widgets. The resource
// compiler reads this file too, so the texts are plain #define string
// literals; C++ additions stay under #ifndef RC_INVOKED.
#pragma once

#define UI_PROGRAM_NAME "Teleora"

// The tray menu.
#define UI_MENU_TITLE "Popup Menu"
#define UI_CONNECTED "Connesso"
#define UI_DISCONNECTED "Disconnesso"
#define UI_DISABLED "Disabilitato"
#define UI_CONFIGURE "Configurazione..."
#define UI_SHOW_LOG "Log"
#define UI_EXIT "Esci"

// The configuration dialog.
#define UI_DIALOG_TITLE "Configurazione"
#define UI_PAUSE_LABEL "Pausa fra tentativi (s):"
#define UI_ENTRY_LABEL "Connessione RAS:"
#define UI_DROP_ANY "Tieni chiuse le altre connessioni RAS"
#define UI_RULES_LABEL "Regole personalizzate:"
#define UI_ADD "Aggiungi"
#define UI_REMOVE "Rimuovi"
#define UI_NAME "Nome"
#define UI_FROM "Da"
#define UI_TO "A"
#define UI_SUNDAY "Domenica"
#define UI_MONDAY "Lunedi"
#define UI_TUESDAY "Martedi"
#define UI_WEDNESDAY "Mercoledi"
#define UI_THURSDAY "Giovedi"
#define UI_FRIDAY "Venerdi"
#define UI_SATURDAY "Sabato"
#define UI_OK "OK"
#define UI_CANCEL "Annulla"

// What the dialog writes or shows by itself.
#define UI_NEW_RULE "Nuova regola"
#define UI_PAUSE_ERROR "La pausa fra tentativi deve essere compresa fra 1 e 3600."
#define UI_ERROR_CAPTION "Errore"

#ifndef RC_INVOKED
// What the Linux program says, once, when no tray shows its icon (on stderr and
// as a desktop notification).
inline constexpr char kUiNoTrayNotice[] =
    "Teleora \u00e8 in esecuzione, ma questo desktop non mostra le icone di stato (tray). "
    "Su GNOME si ottengono con l'estensione AppIndicator: installare il pacchetto "
    "gnome-shell-extension-appindicator e attivarla in Estensioni; l'icona di Teleora "
    "comparir\u00e0 da sola.";

// The day labels, Sunday first, as the rules' days are numbered.
inline constexpr const char* kUiDayNames[] = {UI_SUNDAY,   UI_MONDAY, UI_TUESDAY, UI_WEDNESDAY,
                                              UI_THURSDAY, UI_FRIDAY, UI_SATURDAY};
#endif
