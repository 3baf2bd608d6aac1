#include "settings/settings.h"

#include <cstring>

#include "common/text.h"

void SetDefaultSettings(Settings* settings) {
    memset(settings, 0, sizeof *settings);
    settings->tDelay = kDefaultDelay;
    settings->bDropAny = kDefaultDropAny;
    CopyBounded(settings->szRasEntry, kDefaultRasEntry, sizeof settings->szRasEntry);
}

void InitRule(Rule* rule, const char* name) {
    memset(rule, 0, sizeof *rule);
    CopyBounded(rule->szName, name, sizeof rule->szName);
}
