#pragma once

#include "family.h"

#include <QString>

// What a unit does beyond answering correctly.
enum class Behaviour {
    Normal,
    Silent,      // accepts TCP connections, never answers anything
    Dead,        // answers nothing and listens nowhere
    Port50002,   // listens for TCP on 50002 instead of 50001
    NeverReboots, // fetches its image but keeps running the old software
    NeverFetches, // takes the update command, answers it, and never fetches
    NeverReturns  // fetches its image, goes down to reboot and never answers anything again
};

// How a unit's TCP side fails while its UDP side answers as usual.
enum class TcpSide {
    Normal,
    Hangs, // no connection ever completes: its SYNs go unanswered, as when a unit's network stack hangs
    Mute   // accepts connections and reads messages, never answers one
};

// One simulated unit: its identity and settings as read from the fleet file, and the state its
// replies report (versions and flags change while it runs).
struct UnitConfig
{
    QString id; // fleet-file group name; names the unit in events
    Family family = Family::K220Encoder;
    int position = 1; // 1-based place in the fleet; numbers default serials and streams

    QString serial;
    QString name;
    QString mac;
    QString ip;
    QString subnet;
    QString gateway;
    QString ipMode; // "STATIC", "DHCP" or "AUTO"

    // Both interfaces of a video-on-demand server or a conductor. A server's first interface is
    // `ip`; a conductor answers on its second one, so there `ip` is the second interface.
    QString eth0Ip;
    QString eth0Netmask;
    QString eth0Mac;
    QString eth1Ip;
    QString eth1Netmask;
    QString eth1Mac;

    QString swversion;  // software date, M/d/yyyy
    QString webversion; // web date, seconds since 1970 as text
    QString fwversion;  // recorder firmware date, M/d/yyyy; "0/0/0" for original firmware

    bool updateStatus = false;
    bool ipTrial = false;
    bool idButton = false;
    int rebootSeconds = 3;
    int edidFailures = 0;
    Behaviour behaviour = Behaviour::Normal;
    // 1 to 99: the first image fetch breaks off once this share of the image is in, and the unit
    // fetches the whole image again on its own; 0: fetches never break off.
    int dropAtPercent = 0;
    // Reports the MD5 of every image it fetched, so that a test can compare it with the file.
    bool digest = false;
    // Reads its image at no more than this many KiB a second, as a unit on a slow link; 0: as
    // fast as it comes.
    int fetchKiBps = 0;
    TcpSide tcp = TcpSide::Normal;
    // Each TCP message is answered this long after it arrived, as a real unit takes a moment to
    // take a message in; 0: at once.
    int messageDelayMs = 0;
    // 2: the image goes in over two reboots. Back from the first, the unit runs the new software
    // but has not written the web part yet: it answers with the new software date, the old web
    // date and UPDATE:0 for rebootSeconds, then goes down again and comes back as after one.
    int reboots = 1;
    // From this many seconds after start the unit answers nothing on UDP or TCP, as if unplugged;
    // 0: never.
    int vanishAfterSeconds = 0;
    // Hears no discovery broadcast, as a unit behind a router: it answers only queries sent to its
    // own address.
    bool ignoresBroadcast = false;
    bool verbose = false;

    // A recorder of the older record layout that still runs its original firmware: it knows no
    // text replies and no text commands.
    bool hasOriginalFirmware() const { return fwversion.trimmed() == QLatin1String("0/0/0"); }
    // Units that take only the fixed record exchange and never update.
    bool isFixedLayoutOnly() const
    {
        const ReplyKind kind = Families::traits(family).kind;
        return kind == ReplyKind::FixedEncoder || kind == ReplyKind::FixedDecoder ||
               (kind == ReplyKind::FixedRecorder && hasOriginalFirmware());
    }
    // The stream number reported in status replies.
    int stream() const { return 100 + position; }
};
