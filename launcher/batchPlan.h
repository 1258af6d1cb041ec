#pragma once

#include "launcher/commandLine.h"

#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

// What the batch command decides before it starts a program: whether the
// command line is one program's run, the files of a batch, their outputs,
// and how many programs run at once. Every fact comes from the programs' own
// code: output naming (core/outputPath.h), the seed syntax
// (seedsearch/seedText.h), the texture area (texture/textureArea.h) and the
// memory a texel costs (base/limits.h).

// One file, the decoder's file and seed, or no file at all: the program
// itself runs, and its output and status are the run's.
bool isSingleRun(const launchRequest& request);

// The refusals that come before any work, as one usage line; nothing when
// the request may go on. Checks the decoder's seed, -o for a batch, the
// output folder and the texture area variable.
std::optional<std::string> refusalBeforeWork(const launchRequest& request);

// The batch's files: the names given, with "-" replaced by the lines of
// `input` (empty lines skipped).
std::vector<std::string> collectFiles(const launchRequest& request, std::istream& input);

// The path the program writes a file's output to, or nothing when the
// program will refuse the name (it says why itself).
std::optional<std::string> outputPathOf(const launchRequest& request, const std::string& file);

// Two different files whose outputs would have one name would overwrite each
// other, and which survives would depend on timing: the usage line that
// names both, or nothing. A file given twice is one file.
std::optional<std::string> findCollidingOutputs(const launchRequest& request, const std::vector<std::string>& files);

// The arguments of the program for a single run, or for one file of a batch:
// the options it takes and the names in a form that cannot be read as
// options.
std::vector<std::string> programArguments(const launchRequest& request, const std::string& program,
                                          const std::vector<std::string>& names);
// The arguments of an encoder batch worker.
std::vector<std::string> workerArguments(const launchRequest& request, const std::string& worker);

// The programs to run at once when -j is not given: the processors, but no
// more programs than `availableBytes` holds at their peak for the largest
// texture they take; at least one.
std::size_t defaultJobs(commandKind command, std::size_t processors, uint64_t availableBytes, uint64_t textureArea);
