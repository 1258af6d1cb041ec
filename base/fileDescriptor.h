#pragma once

#include <unistd.h>

#include <utility>

// A descriptor that closes itself.
class fileDescriptor {
public:
    fileDescriptor() = default;
    explicit fileDescriptor(int descriptor) : number(descriptor) {}
    fileDescriptor(fileDescriptor&& other) noexcept : number(std::exchange(other.number, -1)) {}
    fileDescriptor& operator=(fileDescriptor&& other) noexcept
    {
        if (this != &other) {
            close();
            number = std::exchange(other.number, -1);
        }
        return *this;
    }
    ~fileDescriptor() { close(); }

    int get() const { return number; }
    bool isOpen() const { return number >= 0; }
    void close()
    {
        if (number >= 0)
            ::close(number);
        number = -1;
    }

private:
    int number = -1;
};
