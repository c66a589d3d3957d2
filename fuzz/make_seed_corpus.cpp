// Writes a seed corpus for the update reader fuzzer: update files made with the writer (header only,
// portions, images, port-name and Windows parameter records), damaged variants of them (cut short,
// unknown tags, wrong version, huge declared lengths) and raw SysEx files.
//   make_seed_corpus DIRECTORY
#include "UpdateWriter.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

int written = 0;
std::filesystem::path directory;

void Write(const std::string& name, const Bytes& bytes) {
    std::ofstream out(directory / (name + ".bin"), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "make_seed_corpus: cannot write %s\n", name.c_str());
        std::exit(1);
    }
    ++written;
}

Bytes Header(const std::string& product = "Kelva", const std::string& message = "note") {
    Bytes out;
    CreateUpdateFileHeader(out, product, Version{1, 5}, message, 0x1234, 0x5678, 0x9ABC);
    return out;
}

Bytes Message(std::size_t fill, unsigned char seed) {
    Bytes message{0xF0, 0x00, 0x20, 0x31};
    for (std::size_t i = 0; i < fill; ++i)
        message.push_back(static_cast<unsigned char>((seed + i * 7) & 0x7F));
    message.push_back(0xF7);
    return message;
}

Bytes Cut(Bytes bytes, std::size_t drop) {
    bytes.resize(bytes.size() > drop ? bytes.size() - drop : 0);
    return bytes;
}

void AppendWord(Bytes& out, unsigned int value) {
    Append(out, value);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seed_corpus DIRECTORY\n");
        return 2;
    }
    directory = argv[1];
    std::filesystem::create_directories(directory);

    // Valid update files.
    Write("header-only", Header());
    Write("header-empty-fields", Header("", ""));
    Write("header-sysex-note", Header("Kelva", "<sysex>"));

    Bytes portions = Header();
    AddSysExPortion(portions, Message(16, 1), 250);
    AddSysExPortion(portions, Bytes{}, 0);
    AddSysExPortion(portions, Message(200, 9), 1000);
    Write("portions", portions);

    Bytes images = Header();
    AddImage(images, Bytes{1, 2, 3});
    AddImage(images, Bytes{4, 5, 6, 7, 8});
    Write("images", images);

    Bytes names = Header();
    AddMacPortName(names, "Ostrel Kelva$Ostrel Dramlin$");
    AddMacPortName(names, "$$Kelva Port 2");
    AddWindowsPortParameters(names,
                             "win:any:ideal:4096:max:16384:delay:10:unprepdelay:20:chunks:yes:name:Kelva");
    AddWindowsPortParameters(names, "win:x:chunks:0:max:abc:");
    Write("port-names", names);

    Bytes everything = Header("Ostrel Kelva", "Please update.\n\nThanks.");
    AddMacPortName(everything, "Ostrel Kelva");
    AddWindowsPortParameters(everything, "win:kelva:ideal:2048");
    AddSysExPortion(everything, Message(64, 3), 500);
    AddImage(everything, Bytes(100, 0x5A));
    AddSysExPortion(everything, Message(32, 5), 0);
    Write("everything", everything);

    // Damaged update files.
    Write("cut-in-portion-delay", Cut(portions, 2));
    Write("cut-in-portion-bytes", Cut(portions, 100));
    Write("cut-in-image", Cut(images, 2));
    Bytes partialTag = everything;
    partialTag.push_back(0x01);
    partialTag.push_back(0x00);
    Write("partial-tag", partialTag);
    Write("cut-in-header", Cut(Header(), 5));
    Write("cut-in-magic", Cut(Header(), 30));
    Write("cut-in-port-names", Cut(names, 7));

    Bytes wrongVersion = Header();
    wrongVersion[14] = 5;
    Write("wrong-version", wrongVersion);
    Bytes badMagic = Header();
    badMagic[0] = 'o';
    Write("bad-magic", badMagic);

    for (unsigned int tag : {0u, 4u, 6u, 0xFFFFFFFFu}) {
        Bytes unknown = Header();
        AddSysExPortion(unknown, Message(4, 2), 1);
        AppendWord(unknown, tag);
        Write("unknown-tag-" + std::to_string(tag), unknown);
    }

    // Records that declare far more than the file holds.
    for (unsigned int tag : {1u, 2u, 3u, 5u}) {
        Bytes huge = Header();
        AppendWord(huge, tag);
        AppendWord(huge, 0xFFFFFFFFu);
        huge.insert(huge.end(), {0xF0, 0x01, 0xF7});
        Write("huge-record-" + std::to_string(tag), huge);
    }
    Bytes hugeName;
    for (char c : FILE_HEADER)
        hugeName.push_back(static_cast<unsigned char>(c));
    Append(hugeName, static_cast<unsigned short>(4));
    AppendWord(hugeName, 0xFFFFFFFFu);
    hugeName.insert(hugeName.end(), {'K', 'e', 'l'});
    Write("huge-product-name", hugeName);

    // Raw SysEx files.
    Write("sysex-one", Message(8, 4));
    Bytes two = Message(8, 4);
    Bytes second = Message(20, 6);
    two.insert(two.end(), second.begin(), second.end());
    Write("sysex-two", two);
    Write("sysex-minimal", Bytes{0xF0, 0xF7});
    Write("sysex-trailing", Bytes{0xF0, 0xF7, 0x12, 0x34});
    Write("sysex-unterminated", Bytes{0xF0, 0x00, 0x00});
    Write("starts-with-f7", Bytes{0xF7, 0xF0, 0xF7});

    std::printf("make_seed_corpus: %d files in %s\n", written, directory.c_str());
    return 0;
}
