#pragma once

#include <QByteArray>
#include <QList>

#include "history/historystore.h"

#include <cstdio>

struct CliOptions;

// "bryx-updater-cli history": the kept batches, newest first, a line each with its units' counts
// and how it ended; with --batch, that batch alone with each unit's final status; with --unit,
// that unit's runs alone and every step of each. Reads the history file and nothing
// else: it neither changes the file nor needs the network or the lock. A file that is damaged, or
// any of whose rows cannot be read, is refused whole rather than shown in part.

// What is shown, read from an open store.
struct HistoryListing
{
    struct Entry
    {
        HistoryStore::Batch batch;
        QList<HistoryStore::UnitRun> runs;
        // The unit's steps in this batch (with --unit only).
        QList<HistoryStore::Event> events;
    };
    QList<Entry> entries;
    // Why the history could not be read whole; empty when it was.
    QString error;
    // --batch named a batch the history has (among those begun since --since).
    bool batchFound = false;
};
HistoryListing readHistory(const HistoryStore &store, const CliOptions &options);

// A line per batch: "12  2026-12-09 14:03  300 units: 295 confirmed, 5 overdue  ended: completed",
// its units counted by the last step each reached.
QByteArray historyBatchLines(const HistoryListing &listing);
// Each batch with its packages and a line per unit (and with --unit, each step of it).
QByteArray historyText(const HistoryListing &listing);
QByteArray historyJson(const HistoryListing &listing);
// The update report's columns after two of the batch: its id and when it began.
QByteArray historyCsv(const HistoryListing &listing);

// Prints the history of path to out (errors to err); the tool's exit code.
int runHistory(const CliOptions &options, const QString &path, FILE *out, FILE *err);
