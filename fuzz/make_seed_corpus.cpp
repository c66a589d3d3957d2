// Writes the seed corpora of the fuzz targets, one folder each under DIRECTORY:
//   update_reader   update files made with the writer (header only, portions, images, port-name and
//                   Windows parameter records), damaged variants of them (cut short, unknown tags,
//                   wrong version, huge declared lengths) and raw SysEx files;
//   device_input    device scripts built from the simulated device's own answers (status messages,
//                   identity replies, garbage), well-behaved and not;
//   texts           port-name lists, Windows parameter texts, yes/no values, device messages;
//   cli_arguments   pack's and the simulator's argument texts, good and bad.
//   make_seed_corpus DIRECTORY
#include "DeviceProtocol.h"
#include "DeviceScript.h"
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
std::filesystem::path root;
std::filesystem::path directory;

void StartCorpus(const std::string& target) {
    directory = root / target;
    std::filesystem::create_directories(directory);
}

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

void WriteText(const std::string& name, const std::string& text) {
    Write(name, Bytes(text.begin(), text.end()));
}

void WriteUpdateReaderSeeds() {
    StartCorpus("update_reader");
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
}

// The identity reply's bytes after its F0 7E 00 06 02 header, without the closing F7.
Bytes IdentityBody(Version version) {
    const Bytes reply = DeviceProtocol::IdentityReply(version);
    return Bytes(reply.begin() + 5, reply.end() - 1);
}

void WriteDeviceSeeds() {
    using device_script::Writer;
    StartCorpus("device_input");
    const Bytes busy = DeviceProtocol::StatusMessage(DeviceProtocol::flagsBusy);
    const auto setup = [](bool identity, unsigned int portions, bool versionUnknown = false,
                          unsigned int delay = 0) {
        return Writer::SetupByte(identity, portions, versionUnknown, delay);
    };

    // Each portion answered after the first poll.
    Writer accepted(setup(false, 3, false, 1));
    for (int i = 0; i < 3; ++i)
        accepted.Status(i == 0 ? 100 : 1250, DeviceProtocol::flagsAccepted);
    Write("accept-three", accepted.bytes);
    Write("busy-then-accept", Writer(setup(false, 1))
                                  .Status(100, DeviceProtocol::flagsBusy)
                                  .Repeat(500, 3, 500)
                                  .Status(500, DeviceProtocol::flagsAccepted)
                                  .bytes);
    Write("error", Writer(setup(false, 2)).Status(100, DeviceProtocol::flagsError).bytes);
    Write("error-flag-high", Writer(setup(false, 1)).Status(100, 0x28).bytes);
    Write("busy-201",
          Writer(setup(false, 1)).Status(100, DeviceProtocol::flagsBusy).Repeat(500, 210, 500).bytes);
    Write("status-split-in-bytes", Writer(setup(false, 1)).Raw(100, busy, 1).Raw(500, busy, 3).bytes);
    Write("status-with-clock-inside",
          Writer(setup(false, 1))
              .Raw(100, Bytes{0xF0, 0x00, 0xF8, 0x00, 0x3F, 0x73, 0, 0, 0, 0, 0, 0, 0x00, 0xFE, 0xF7})
              .bytes);
    Write("status-cut-by-note-on", Writer(setup(false, 1))
                                       .Raw(100, Bytes{0xF0, 0x00, 0x00, 0x3F, 0x90, 0x40, 0x7F, 0x73})
                                       .Status(0, DeviceProtocol::flagsAccepted)
                                       .bytes);

    // Silent devices asked for their identity at the end, with replies right, wrong and damaged.
    Write("identity-same-version",
          Writer(setup(true, 1)).Identity(12'100, IdentityBody(Version{1, 5})).bytes);
    Write("identity-other-version",
          Writer(setup(true, 2)).Identity(24'100, IdentityBody(Version{2, 31})).bytes);
    Write("identity-version-unknown",
          Writer(setup(true, 1, true)).Identity(12'100, IdentityBody(Version{1, 4}), 2).bytes);
    const Bytes body = IdentityBody(Version{1, 5});
    for (std::size_t length : {0u, 1u, 3u, 8u, 14u, 20u}) {
        if (length < body.size())
            Write("identity-cut-" + std::to_string(length),
                  Writer(setup(true, 1)).Identity(12'100, Bytes(body.begin(), body.begin() + length)).bytes);
    }
    Bytes longer = body;
    longer.insert(longer.end(), 40, 0x41);
    Write("identity-long", Writer(setup(true, 1)).Identity(12'100, longer).bytes);
    Write("identity-early-and-status", Writer(setup(true, 1))
                                           .Identity(100, body)
                                           .Status(11'000, DeviceProtocol::flagsBusy)
                                           .Identity(1'500, body)
                                           .bytes);

    // Garbage: what the simulated device sends in place of its answers, an F0 that never ends
    // (more than the collector keeps), and floods of status messages.
    Writer garbage(setup(true, 3));
    for (int i = 0; i < 4; ++i)
        garbage.Raw(i == 0 ? 100 : 500, DeviceProtocol::GarbageAnswer(), 5);
    Write("garbage", garbage.bytes);
    Write("endless-f0", Writer(setup(false, 1))
                            .Raw(100, Bytes{0xF0, 0x00})
                            .Flood(100, Bytes{0x12, 0x34}, 21, 31)
                            .Status(200, DeviceProtocol::flagsAccepted)
                            .bytes);
    Write("status-flood", Writer(setup(false, 2))
                              .Flood(100, busy, 10)
                              .Status(0, DeviceProtocol::flagsAccepted)
                              .Flood(500, DeviceProtocol::StatusMessage(DeviceProtocol::flagsAccepted), 9, 13)
                              .bytes);
    Write("noise-flood", Writer(setup(true, 1, false, 2)).Flood(50, Bytes{0xF8, 0x90, 0x7F, 0xFE}, 14).bytes);
}

void WriteTextSeeds() {
    StartCorpus("texts");
    WriteText("port-names", "Ostrel Kelva$Ostrel Dramlin");
    WriteText("port-names-empty-items", "$$Kelva Port 2$");
    WriteText("win-params",
              "win:any:ideal:4096:max:16384:delay:10:unprepdelay:20:chunks:yes:name:Kelva$Dramlin");
    WriteText("win-params-odd", "win:x:chunks:0:max:abc:ideal:99999999999999:delay:-7:name");
    WriteText("not-win", "winx:any:name:Kelva");
    for (const char* value : {"yes", "TRUE", "no", "0", "12", "-1", " 5"})
        WriteText(std::string("yes-no-") + value, value);
    Write("status-accepted", DeviceProtocol::StatusMessage(DeviceProtocol::flagsAccepted));
    Write("status-busy", DeviceProtocol::StatusMessage(DeviceProtocol::flagsBusy));
    Write("identity-reply", DeviceProtocol::IdentityReply(Version{1, 5}));
    Bytes threeByteId = DeviceProtocol::IdentityReply(Version{3, 7});
    threeByteId.insert(threeByteId.begin() + 5, {0x00, 0x21});
    Write("identity-reply-long-id", threeByteId);
}

void WriteCliSeeds() {
    StartCorpus("cli_arguments");
    for (const char* text : {"1.5",
                             "1.05",
                             "65535.65535",
                             "65536.0",
                             "1.",
                             ".5",
                             "1.5.6",
                             "a.b",
                             "0,0,0",
                             "1,2,3,",
                             "1,,3",
                             "70000,1,2",
                             "file.syx@250",
                             "@250",
                             "a@b@12",
                             "x.syx@",
                             "x.syx@-1",
                             "x.syx@4294967296",
                             "win:any:name:Kelva",
                             "WIN:any",
                             "1.5@20"})
        WriteText("argument-" + std::to_string(written), text);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seed_corpus DIRECTORY\n");
        return 2;
    }
    root = argv[1];
    WriteUpdateReaderSeeds();
    WriteDeviceSeeds();
    WriteTextSeeds();
    WriteCliSeeds();
    std::printf("make_seed_corpus: %d files in %s\n", written, root.c_str());
    return 0;
}
