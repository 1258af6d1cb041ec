#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// The two commands users run; one program, told which it is, runs both.
enum class commandKind { encoder, decoder };

// What a command line asks for. Options may stand anywhere before "--";
// every argument after it is a name.
struct launchRequest {
    commandKind command = commandKind::encoder;
    bool help = false;
    bool version = false;
    std::optional<std::size_t> jobs;
    // Names as given; "-" before "--" stands for the names on standard input.
    std::vector<std::string> names;
    std::vector<bool> readsNamesFromInput; // one for each of names
    bool keepTextureSize = false;           // the decoder's
    bool bmp = false;                       // the decoder's
    std::optional<std::string> outputFile;  // -o, the decoder's, for one file
    std::optional<std::string> outputFolder; // -O, for every output
};

const char* commandName(commandKind command);

// Reads the arguments after the command's name; false with a one-line
// problem (a usage error) when they are wrong. Stops at --help and
// --version, as their answer does not depend on the rest.
bool readCommandLine(commandKind command, const std::vector<std::string>& arguments, launchRequest& request,
                     std::string& problem);

// The --help text.
std::string helpText(commandKind command);
