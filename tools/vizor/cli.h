// The command line of the tool: the options every command takes, the checks
// of option values that several commands share, and the registry in which
// each command's file declares its subcommand, its options and what runs it.
// main() creates the registry, lets each command add itself and runs the one
// that was given.
#pragma once

#include <CLI/CLI.hpp>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "app.h"

namespace vztool {

// Help text of --json.
extern const char *const kJsonHelp;

// A whole number from lo to hi; says which of the two is wrong.
CLI::Validator whole(long lo, long hi);
extern const CLI::Validator kDevice;      // INDEX or BUS:PORT
extern const CLI::Validator kScene;       // [PRODUCT:]SCENE of --virtual
extern const CLI::Validator kHex32;       // a hexadecimal 32-bit number
extern const CLI::Validator kHexByte;     // a hexadecimal byte
extern const CLI::Validator kHexBytes;    // hexadecimal bytes
extern const CLI::Validator kRange;       // MIN:MAX metres
extern const CLI::Validator kIntrinsics;  // CX,CY,FX,FY

// The image outputs of capture and play as given on the command line; they
// become an OutputOpts once parsed.
struct OutputArgs {
    std::string images, ply, vzd = "f32", range, intrinsics;
    std::vector<std::string> formats;
};
// Adds -o, --images, --formats, --ply, --vzd (capture only), --range and
// --intrinsics.
void add_output_opts(CLI::App *app, OutputOpts &o, OutputArgs &a, bool capture);
// --projection exact|compat into p.
void add_projection_opt(CLI::App *app, Projection &p);
// Fills o from what was given.
void finish_output_opts(OutputOpts &o, const OutputArgs &a);

// The subcommands of the tool and what each runs.
class Commands {
public:
    // Checks after parsing that need more than one option: an error text
    // (a usage error) or empty.
    using Check = std::function<std::string()>;
    // Changes the options every command takes before the session starts
    // (play of a recording runs on the virtual camera).
    using Prepare = std::function<void(Globals &)>;
    using Run = std::function<int(Session &, const Globals &)>;

    explicit Commands(CLI::App &root);

    // A subcommand of parent (of the tool when null) with the options every
    // command takes (-d when device).
    CLI::App *add(const std::string &name, const std::string &description, bool device,
                  CLI::App *parent = nullptr);
    // What runs when app was given on the command line.
    void on_run(CLI::App *app, Run run, Check check = {}, Prepare prepare = {});

    // After parsing: the options every command takes, merged over the
    // chain of subcommands (later ones win; -v adds up).
    Globals globals() const;
    // After parsing: the first failed check ("" when all pass).
    std::string check() const;
    // After parsing: prepares g for the command given; false when none was.
    bool prepare(Globals &g) const;
    // Runs the command given (a usage error when none was).
    int run(Session &s, const Globals &g) const;

private:
    struct Entry {
        CLI::App *app;
        Run run;
        Check check;
        Prepare prepare;
    };
    const Entry *given() const;
    CLI::App &root_;
    std::deque<Globals> globals_;  // one per app, merged after parsing
    std::vector<Entry> entries_;
};

// Each command's file adds its subcommands (in this order in main).
void add_device_commands(Commands &c);    // list, info (device_cmds.cpp)
void add_capture_commands(Commands &c);   // capture, play (capture.cpp)
void add_record_command(Commands &c);     // record (record.cpp)
void add_register_commands(Commands &c);  // reg, param (device_cmds.cpp)
void add_data_commands(Commands &c);      // upload, download, firmware (data_cmds.cpp)
void add_view_command(Commands &c);       // view (view_server.cpp)
void add_calibrate_command(Commands &c);  // calibrate (calibrate.cpp)

}  // namespace vztool
