#pragma once

#include <QList>
#include <QString>

#include <optional>

// The six commands of the generation-3 loader, as the emulated loader counts them.
enum class LoaderCommand { Connect, Disconnect, Write, Erase, Crc, Info };

// A failure the emulated loader injects into its answer to one command (or to every
// command of a kind), so that every failure the host handles can be provoked.
struct Gen3LoaderFault {
    enum Kind {
        WrongTag,     // the reply carries the command's own tag instead of its complement
        Failure,      // the command is refused: not carried out, status 0
        ShortReply,   // the reply lacks its last byte
        NoReply,      // the command is carried out but never answered
        CrcMismatch,  // the CRC reply reports a value that is not the range's CRC
        Unplug        // the probe drops off the bus half-way through the write's data
    };

    Kind kind = WrongTag;
    LoaderCommand command = LoaderCommand::Connect;
    // The command it hits: the n-th of its kind since power-up (1: the first); 0: every one.
    int occurrence = 1;

    // Parses one item of the fault vocabulary: COMMAND-tag, COMMAND-fail, COMMAND-short,
    // COMMAND-silent (COMMAND: connect, disconnect, erase, write, crc, info),
    // crc-mismatch or unplug (during a write's data), each optionally followed by @N (the
    // n-th such command, default 1) or @* (every one). Status failures exist only for the
    // commands whose reply has a status byte: connect, disconnect, erase and write.
    static std::optional<Gen3LoaderFault> parse(const QString& text);
    // Several items joined by '+'; nothing when any item is malformed.
    static std::optional<QList<Gen3LoaderFault>> parseList(const QString& text);

    friend bool operator==(const Gen3LoaderFault&, const Gen3LoaderFault&) = default;
};
