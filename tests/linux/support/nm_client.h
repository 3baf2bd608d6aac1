// A binding instance for tests, made, used and destroyed on one thread, with
// the supervisor's way of listing connections.
#pragma once

#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/local_time.h"
#include "dialup/networkmanager_dialup_linux.h"
#include "log/event_log.h"
#include "settings/shared_state.h"
#include "supervisor/supervisor.h"
#include "support/test_support.h"

// LogLine as Qt's string.
inline QString QLogLine(const char* operation, const char* name, int32_t code,
                        const char* text = nullptr) {
    return QString::fromStdString(LogLine(operation, name, code, text));
}

// The complete lines of a log's text, without their date and time.
inline QStringList UndatedLines(const QString& text) {
    QStringList lines = text.split(QStringLiteral("\r\n"));
    lines.removeLast();  // empty, or a line still being written
    for (QString& line : lines) line = line.mid(line.indexOf(QStringLiteral(": ")) + 2);
    return lines;
}

inline NmDialUpOptions FastOptions() {
    NmDialUpOptions options;
    options.callTimeoutMs = 2000;
    options.operationBudgetMs = 4000;
    options.dialTimeoutMs = 10000;
    return options;
}

struct Active {
    std::string name;
    DialUpHandle handle;
};

// One binding instance, made, used and destroyed on the calling thread.
struct Client {
    explicit Client(const NmDialUpOptions& options = FastOptions())
        : nm(CreateNetworkManagerDialUp(options)), service(MakeNetworkManagerDialUpService(nm)) {}
    ~Client() { DestroyNetworkManagerDialUp(nm); }

    // Lists the active connections the way the supervisor does: one record
    // first, then once more with the size the service asked for.
    int32_t List(std::vector<Active>* out, int* resized = nullptr) {
        std::vector<unsigned char> buffer(service.connectionRecordSize);
        service.prepareConnectionBuffer(service.ctx, buffer.data());
        uint32_t size = static_cast<uint32_t>(buffer.size()), count = 0;
        int32_t rc = service.enumConnections(service.ctx, buffer.data(), &size, &count);
        if (rc == kNmBufferTooSmall) {
            if (resized != nullptr) ++*resized;
            buffer.resize(size);
            rc = service.enumConnections(service.ctx, buffer.data(), &size, &count);
        }
        if (rc != 0) return rc;
        for (uint32_t i = 0; i < count; ++i) {
            char name[kEntryNameFieldSize];
            service.connectionEntryName(service.ctx, buffer.data(), i, name, sizeof name);
            out->push_back({name, service.connectionHandle(service.ctx, buffer.data(), i)});
        }
        return 0;
    }
    int32_t Dial(const char* entry, DialUpHandle* handle) {
        *handle = 0;
        int32_t rc = service.getEntryDialParams(service.ctx, entry);
        return rc != 0 ? rc : service.dial(service.ctx, handle);
    }
    int32_t Entries(std::vector<std::string>* out) {
        static PhonebookEntries entries;
        int32_t rc = service.enumEntries(service.ctx, &entries);
        for (int i = 0; rc == 0 && i < entries.count; ++i) out->push_back(entries.names[i]);
        return rc;
    }

    NetworkManagerDialUp* nm;
    DialUpService service;
};

inline void OnThread(const std::function<void()>& work) {
    std::thread thread(work);
    thread.join();
}

// One supervisor pass per name in `entries`, each with that entry chosen, on a
// thread of its own as the supervisor runs them, logging into a scratch
// folder; returns the log's text.
inline QString RunPasses(Mode mode, int32_t dropAny, const std::vector<const char*>& entries) {
    QTemporaryDir dir;
    const QByteArray logPath = dir.filePath(QStringLiteral("log.txt")).toUtf8();
    OnThread([&] {
        Client client;
        EventLog log{logPath.constData(), SystemClock(), ErrorTextOf(&client.service)};
        ConnectionBuffer buffer{};
        InitConnectionBuffer(&buffer, client.service);
        SettingsSnapshot snapshot{};
        SetDefaultSettings(&snapshot.settings);
        snapshot.settings.bDropAny = dropAny;
        snapshot.mode = mode;
        for (const char* entry : entries) {
            strncpy(snapshot.settings.szRasEntry, entry, sizeof snapshot.settings.szRasEntry - 1);
            RunSupervisorPass(&buffer, client.service, snapshot, SystemClock(), log);
        }
        ReleaseConnectionBuffer(&buffer);
    });
    QFile file(QString::fromUtf8(logPath));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}
