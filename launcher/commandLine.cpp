#include "launcher/commandLine.h"

#include "base/decimalNumber.h"
#include "base/exitStatus.h"
#include "core/outputPath.h"

#include <cstring>

namespace {

constexpr std::size_t mostJobs = 9999;

bool startsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

class argumentReader {
public:
    argumentReader(commandKind command, const std::vector<std::string>& arguments, launchRequest& request,
                   std::string& problem)
        : command(command), arguments(arguments), request(request), problem(problem)
    {
    }

    bool read()
    {
        request.command = command;
        bool onlyNames = false;
        for (at = 0; at < arguments.size(); ++at) {
            const std::string& argument = arguments[at];
            if (onlyNames) {
                addName(argument, false);
            } else if (argument == "--") {
                onlyNames = true;
            } else if (argument == "-") {
                addName(argument, true);
            } else if (argument.size() > 1 && argument[0] == '-') {
                if (!readOption(argument))
                    return false;
                if (request.help || request.version)
                    return true;
            } else {
                addName(argument, false);
            }
        }
        return true;
    }

private:
    void addName(const std::string& name, bool readsInput)
    {
        request.names.push_back(name);
        request.readsNamesFromInput.push_back(readsInput);
    }

    bool fail(const std::string& text)
    {
        problem = text;
        return false;
    }

    bool unknownOption(const std::string& option)
    {
        return fail("unknown option '" + option + "' (a file of that name is ./" + option + ")");
    }

    // The argument after an option, which must be there.
    bool takeValue(const std::string& option, const char* what, std::string& value)
    {
        if (at + 1 >= arguments.size())
            return fail(option + " needs " + what);
        value = arguments[++at];
        return true;
    }

    bool setJobs(const std::string& text)
    {
        const auto count = readDecimal(text, mostJobs);
        if (!count || *count == 0)
            return fail("the number of jobs must be a whole number from 1 to " + std::to_string(mostJobs) +
                        ", not '" + text + "'");
        request.jobs = std::size_t(*count);
        return true;
    }

    bool readOption(const std::string& option)
    {
        const bool decoder = command == commandKind::decoder;
        std::string value;
        if (option == "-h" || option == "--help")
            request.help = true;
        else if (option == "--version")
            request.version = true;
        else if (option == "-j" || option == "--jobs")
            return takeValue(option, "a number", value) && setJobs(value);
        else if (startsWith(option, "--jobs="))
            return setJobs(option.substr(std::strlen("--jobs=")));
        else if (startsWith(option, "-j"))
            return setJobs(option.substr(2));
        else if (isOutputFolderOption(option.c_str()))
            return takeValue(option, "a folder", value) && (request.outputFolder = value, true);
        else if (decoder && option == "--keep-texture-size")
            request.keepTextureSize = true;
        else if (decoder && option == "--bmp")
            request.bmp = true;
        else if (decoder && option == "-o")
            return takeValue(option, "a file name", value) && (request.outputFile = value, true);
        else
            return unknownOption(option);
        return true;
    }

    commandKind command;
    const std::vector<std::string>& arguments;
    launchRequest& request;
    std::string& problem;
    std::size_t at = 0;
};

const char* encoderHelp = R"(usage: pixveil [OPTION]... IMAGE...
Veils each IMAGE: writes it, rotated and XORed with noise, as a 24-bit BMP
beside it, named with _enc.bmp in place of its extension (photo.png gives
photo_enc.bmp).

)";

const char* decoderHelp = R"(usage: pixveil-decode [OPTION]... ENCODED...
   or: pixveil-decode ENCODED SEED
Gives back the pictures that pixveil veiled: writes each ENCODED file's
picture beside it as PNG, named with _dec.png in place of _enc.bmp
(photo_enc.bmp gives photo_dec.png). The seed is searched for, nearest the
file's modification time first, or given as SEED for a single file.

      --keep-texture-size
                 write each picture at the size of the encoded texture, bit
                 for bit, instead of the size of the image that was encoded
      --bmp      write 24-bit BMP files (_dec.bmp) instead of PNG
  -o FILE        for a single file: write its picture to FILE (BMP when FILE
                 ends in .bmp, else PNG); - writes PNG to standard output;
                 FILE may not be the encoded file itself
)";

const char* commonHelp = R"(  -O, --output-dir DIR
                 write each output into the existing folder DIR, under its
                 usual name, instead of beside its input
  -j, --jobs N   work on N files at once (default: the number of processors,
                 fewer when the memory available would not hold them; most:
                 the number of processors)
  -              read further file names from standard input, one a line
  --             take every later argument, and every name read through -,
                 as a file name
  -h, --help     show this help and exit
      --version  show the version and exit

Without a display that opens (DISPLAY unset, or an ssh session without X
forwarding) the files are processed on a private Xvfb server, one for the
whole batch. For a batch, a progress line is shown when standard error is a
terminal, each failure is named with its file and the program's output, and a
summary line ends the run. For a single file, the output and exit status are
the program's own. Name a file that starts with '-' as ./-file, and a glob as
./* or after --, so that no file name is taken for an option.

)";

} // namespace

const char* commandName(commandKind command)
{
    return command == commandKind::encoder ? "pixveil" : "pixveil-decode";
}

bool readCommandLine(commandKind command, const std::vector<std::string>& arguments, launchRequest& request,
                     std::string& problem)
{
    return argumentReader(command, arguments, request, problem).read();
}

std::string helpText(commandKind command)
{
    const std::string name = commandName(command);
    std::string text = command == commandKind::encoder ? encoderHelp : decoderHelp;
    text += commonHelp;
    text += "Exit status:\n";
    text += "  " + std::to_string(exitStatus::success) + "      every file was written\n";
    text += "  " + std::to_string(exitStatus::failure) + "      a file failed, or a single file's run failed\n";
    text += "  " + std::to_string(exitStatus::usage) +
            "      a wrong option, or a batch refused before any work\n";
    text += "  " + std::to_string(exitStatus::signalBase) + "+n  ended by signal n\n";
    text += "\nSee " + name + "(1).\n";
    return text;
}
