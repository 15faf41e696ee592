// The checks a picture passes on the operator's PC before it is sent to recorders, and the
// built-in factory boot picture.
//
// Operator texts are returned as UTF-8 (the console and dravlinctl display UTF-8); the
// recorders never see them.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

// Page codes of the three picture kinds.
constexpr int kPictureBoot = 0;      // JPEG, at most 245760 bytes, decodes, at most 1920 x 1080
constexpr int kPictureChannel = 1;   // channel background, at most 65536 bytes
constexpr int kPictureShutdown = 2;  // at most 65536 bytes

constexpr long kBootPictureMaxBytes = 240 * 1024;
constexpr long kOtherPictureMaxBytes = 64 * 1024;
constexpr int kBootPictureMaxWidth = 1920;
constexpr int kBootPictureMaxHeight = 1080;

// CheckPictureFile results.
constexpr int kPictureOk = 0;
constexpr int kPictureBadKind = -1;  // not one of the three kinds (no message)
constexpr int kPictureNoMemory = -2;
constexpr int kPictureOpenFailed = -4;
constexpr int kPictureReadFailed = -5;
constexpr int kPictureNoFile = -6;
constexpr int kPictureTooLarge = -7;
constexpr int kPictureDecodeFailed = -8;
constexpr int kPictureTooManyPixels = -9;

// What a check found, for callers that show more than the message box.
struct PictureCheckReport {
    int result = kPictureOk;
    std::string message;   // the operator text (UTF-8); empty when the file passed
    bool decoded = false;  // a boot picture that the decoder accepted
    int width = 0;         // valid when decoded
    int height = 0;
};

// Shows one operator text (UTF-8) in a modal message box.
using PictureMessageBox = std::function<void(const std::string& text)>;

// Checks the file at `path` for picture kind `kind`. Returns kPictureOk, or a negative result
// after handing its operator text to `message_box` (when given). `report`, when given, is filled
// on every path.
int CheckPictureFile(int kind, const char* path, const PictureMessageBox& message_box = nullptr,
                     PictureCheckReport* report = nullptr);

// The operator text for a result (UTF-8), as shown by CheckPictureFile; empty for kPictureOk
// and kPictureBadKind. kPictureTooLarge needs the kind for its limit.
std::string PictureCheckMessage(int result, int kind);

// The page's private copy of the built-in boot picture.
struct FactoryPicture {
    std::unique_ptr<unsigned char[]> data;
    size_t size = 0;
};

// Finds binary resource `id`: true with its bytes (owned by the resource, valid for the
// program's life) when it exists.
using BinaryResourceLookup = bool (*)(int id, const unsigned char** data, size_t* size);

constexpr int kFactoryPictureResourceId = 139;
constexpr int kFactoryPictureMissing = -11;

// Copies binary resource 139 into `out`. Returns 0, or kFactoryPictureMissing with `out` empty
// (size 0) after one debug_print line naming the failing step. `lookup` defaults to the
// picture built into this library.
int LoadFactoryPicture(FactoryPicture* out, BinaryResourceLookup lookup = nullptr);
