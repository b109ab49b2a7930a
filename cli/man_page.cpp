#include "cli/man_page.h"

#include "cli/hardcopy.h"

#include <CLI/CLI.hpp>

#include <sstream>

namespace krt460::cli {
namespace {

// Text as roff reads it: backslashes and hyphens escaped, no line starting a request.
std::string Roff(const std::string& text) {
    std::string out;
    bool lineStart = true;
    for (const char c : text) {
        if (lineStart && (c == '.' || c == '\'')) {
            out += "\\&";
        }
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            out += c;
        }
        lineStart = c == '\n';
    }
    return out;
}

void Options(std::ostream& out, const CLI::App& command) {
    for (const CLI::Option* option : command.get_options()) {
        if (option->get_group().empty() || option->get_name() == "--help") {
            continue; // hidden, and the help every command has
        }
        out << ".TP\n";
        if (option->get_positional()) {
            out << "\\fI" << Roff(option->get_name(true)) << "\\fR\n";
        } else {
            std::string names = option->get_name(false, true);
            for (std::size_t comma = names.find(','); comma != std::string::npos;
                 comma = names.find(',', comma + 2)) {
                names.insert(comma + 1, " ");
            }
            out << "\\fB" << Roff(names) << "\\fR";
            if (option->get_expected_min() > 0) {
                out << " \\fI" << Roff(option->get_type_name()) << "\\fR";
            }
            out << '\n';
        }
        out << Roff(option->get_description());
        if (!option->get_default_str().empty()) {
            out << " (default: " << Roff(option->get_default_str()) << ")";
        }
        out << '\n';
    }
}

} // namespace

std::string ManPage(const CLI::App& app, const std::string& version) {
    std::ostringstream out;
    out << ".TH KRT460 1 \"\" \"krt460 " << Roff(version) << "\" \"User Commands\"\n"
        << ".SH NAME\nkrt460 \\- fetch and convert the screen of a 160 x 160 dot instrument\n"
        << ".SH SYNOPSIS\n.B krt460\n.I command\n[\\fIoptions\\fR]\n"
        << ".SH DESCRIPTION\n"
        << Roff(app.get_description().substr(0, app.get_description().find("\nExit status")))
        << "\n.SH COMMANDS\n";
    for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
        out << ".SS " << Roff(command->get_name()) << "\n"
            << Roff(command->get_description()) << '\n';
        Options(out, *command);
    }
    out << ".SH EXIT STATUS\n";
    for (const ExitStatusMeaning& exit : kExitStatuses) {
        out << ".TP\n.B " << exit.status << '\n' << Roff(exit.meaning) << '\n';
    }
    out << ".SH FILES\n"
        << ".TP\n.I KRT460.ini\n"
        << Roff("In the working directory: the port name (first line) and the border flag "
                "(second line, 1 or 0), as the Windows program KRT460.exe writes them. Used when "
                "--port, --border or --no-border is not given.")
        << "\n.TP\n.I DIR/YYYYMMDD\\-HHMMSS.bmp\n"
        << Roff("A picture written by listen (.png with --format png); -2, -3, ... are appended "
                "rather than overwrite a file. The raw 3328 bytes are kept beside it as .bin.")
        << "\n.TP\n.I DIR/YYYYMMDD\\-HHMMSS.json\n"
        << Roff("The verdict of each capture listen keeps: when it came, the port, its byte "
                "count, how it ended, what it was kept as, the end marker, its files and the line "
                "errors. A print that cannot be decoded is kept as .bin alone, one cut short as "
                ".partial.bin.")
        << "\n.TP\n.I $RUNTIME_DIRECTORY/krt460\\-YYYYMMDD\\-HHMMSS.bin\n"
        << Roff("A copy of a print that listen could not write into DIR (the disk full), made "
                "at once: in the service's /run/krt460-listen/INSTANCE, else in $TMPDIR, else "
                "in /tmp. Removed once the print is written into DIR; for prints beyond the 4 MiB "
                "that listen holds in memory, the only copy.")
        << "\n.TP\n.I /usr/lib/systemd/system/krt460\\-listen@.service, krt460\\-gallery.service\n"
        << Roff("The services that run listen for one port and serve for /var/lib/krt460, as the "
                "user krt460; installed, not enabled.")
        << "\n.TP\n.I OUTPUT.partial.bin\n"
        << Roff("The bytes of a capture cut short (stalled, port lost): shot.png gives "
                "shot.partial.bin.")
        << "\n.SH SEE ALSO\n"
        << Roff("The README of the package, /usr/share/doc/krt460/README.md.") << '\n';
    return out.str();
}

} // namespace krt460::cli
