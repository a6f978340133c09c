#pragma once

#include <mspack.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transvia/dir.h"
#include "transvia/string.h"

// libmspack's file-system interface over our directory objects.
//
// libmspack opens files by name. The only names it is ever given are tokens made here:
// one per cabinet registered with AddCabinet (read beneath the folder it was found in)
// and kOutput, the one file it may write, which is the staged output of the current
// extraction. Every other name fails to open, so nothing written inside a cabinet can
// become a path. Allocations are counted against a budget, so a hostile cabinet cannot
// make the decompressor take unbounded memory.
namespace Transvia {

class CabSystem {
public:
    static constexpr const char* kOutput = "\x01output";
    static constexpr size_t kMemoryBudget = size_t{256} << 20;

    CabSystem();
    ~CabSystem();
    CabSystem(const CabSystem&) = delete;
    CabSystem& operator=(const CabSystem&) = delete;

    mspack_system* get();

    // libmspack hands its decompressors copies of the system structure, so a callback
    // cannot find its CabSystem from `self`: every call into libmspack runs inside an
    // Active scope that names it.
    class Active {
    public:
        explicit Active(CabSystem& system);
        ~Active();
        Active(const Active&) = delete;
        Active& operator=(const Active&) = delete;

    private:
        CabSystem* previous_;
    };

    // The name under which libmspack opens cabinet `name` of `folder`. libmspack keeps the
    // pointer (it reopens the cabinet to extract), so it lives as long as this object.
    const char* AddCabinet(std::shared_ptr<const Common::i_dir> folder, const Processor::String& name);
    // Sets the file libmspack writes under kOutput and the most bytes it may receive;
    // null detaches it.
    void SetOutput(std::shared_ptr<Common::o_file> file, uint64_t limit);
    uint64_t Written() const { return written_; }
    // A write went past the limit: the entry decompresses to more than it announced.
    bool Overflowed() const { return overflowed_; }
    // The directory layer's error of the last failed open, read or write, if any.
    const Common::Error& IoError() const { return ioError_; }
    // The last diagnostic libmspack printed (it names what was wrong with a cabinet).
    const std::string& LastMessage() const { return lastMessage_; }
    void ClearDiagnostics();

private:
    struct Cabinet {
        std::shared_ptr<const Common::i_dir> folder;
        Processor::String name;
        std::unique_ptr<std::string> token;
    };
    struct File;

    static mspack_file* Open(mspack_system* self, const char* name, int mode);
    static void Close(mspack_file* file);
    static int Read(mspack_file* file, void* buffer, int bytes);
    static int Write(mspack_file* file, void* buffer, int bytes);
    static int Seek(mspack_file* file, off_t offset, int mode);
    static off_t Tell(mspack_file* file);
    static void Message(mspack_file* file, const char* format, ...);
    static void* Alloc(mspack_system* self, size_t bytes);
    static void Free(void* pointer);
    static void Copy(void* source, void* destination, size_t bytes);

    mspack_system system_{};
    std::vector<Cabinet> cabinets_;
    std::shared_ptr<Common::o_file> output_;
    uint64_t limit_ = 0;
    uint64_t written_ = 0;
    bool overflowed_ = false;
    size_t allocated_ = 0;
    Common::Error ioError_;
    std::string lastMessage_;
};

}  // namespace Transvia
