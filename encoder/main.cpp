#include "base/exitStatus.h"
#include "base/livesUntilExit.h"
#include "base/standardDescriptors.h"
#include "core/atomicOutput.h"
#include "core/outputPath.h"
#include "encoder/myApplication.h"
#include "encoder/myWindow.h"

#include <cstdio>
#include <iostream>
#include <string>

namespace {

// `pixveil IMAGE`, or `pixveil -O DIR IMAGE` (--output-dir DIR) for the
// output in DIR. With one argument that argument is the image, whatever it
// looks like: a file named "-O" is a file.
bool readCommandLine(int argc, char** argv, const char*& image, const char*& outputFolder)
{
    if (argc == 2) {
        image = argv[1];
        return true;
    }
    if (argc == 4 && isOutputFolderOption(argv[1])) {
        outputFolder = argv[2];
        image = argv[3];
        return true;
    }
    std::cout << "There's something wrong with parameters, I guess..." << std::endl;
    return false;
}

bool checkOutputFolder(const char* folder)
{
    const std::string problem = outputFolderProblem(folder);
    if (problem.empty())
        return true;
    std::fprintf(stderr, "pixveil: the output folder %s cannot be used: %s\n", folder, problem.c_str());
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    openClosedStandardDescriptors();
    auto* application = new myApplication;
    // GLUT ends the process from inside its loop, so nothing deletes it.
    livesUntilExit(application);
    const char* image = nullptr;
    const char* outputFolder = nullptr;
    if (!readCommandLine(argc, argv, image, outputFolder))
        return exitStatus::failure;
    if (outputFolder && !checkOutputFolder(outputFolder))
        return exitStatus::failure;
    if (!openEncodingWindow(image, outputFolder))
        return exitStatus::failure;
    application->run();
    delete application;
    return exitStatus::success;
}
