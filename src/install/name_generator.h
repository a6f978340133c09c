#pragma once

#include <cstdint>
#include <memory>

#include "transvia/dir.h"
#include "transvia/error.h"
#include "transvia/string.h"

// Unique names for files published into the target ("oem7.inf"), built from small
// generators that wrap each other.
namespace Transvia {

class NameDirectory {
public:
    virtual ~NameDirectory() = default;
    virtual bool Contains(const Processor::String& name) const = 0;
};

// A folder's names: true when it holds an entry of that name (in any letter case).
class FileNameDirectory final : public NameDirectory {
public:
    explicit FileNameDirectory(const Common::i_dir& folder) : folder_(folder) {}
    bool Contains(const Processor::String& name) const override;

private:
    const Common::i_dir& folder_;
};

class NumberIterator {
public:
    virtual ~NumberIterator() = default;
    virtual uint32_t Next() = 0;
};

// 1, 2, 3, ...
class IncrementingNumberIterator final : public NumberIterator {
public:
    uint32_t Next() override { return ++counter_; }

private:
    uint32_t counter_ = 0;
};

class NameGenerator {
public:
    virtual ~NameGenerator() = default;
    virtual Common::Error Generate(const Processor::String& proposed, Processor::String& out) = 0;
};

// The proposed name used as a pattern, {0} the next number.
class FormatWithNumberNameGenerator final : public NameGenerator {
public:
    explicit FormatWithNumberNameGenerator(std::unique_ptr<NumberIterator> numbers) : numbers_(std::move(numbers)) {}
    Common::Error Generate(const Processor::String& proposed, Processor::String& out) override;

private:
    std::unique_ptr<NumberIterator> numbers_;
};

// Ignores the proposed name: asks the inner generator with its own pattern.
class SubstitutingNameGenerator final : public NameGenerator {
public:
    SubstitutingNameGenerator(std::unique_ptr<NameGenerator> inner, Processor::String pattern)
        : inner_(std::move(inner)), pattern_(std::move(pattern))
    {
    }
    Common::Error Generate(const Processor::String& proposed, Processor::String& out) override;

private:
    std::unique_ptr<NameGenerator> inner_;
    Processor::String pattern_;
};

// The first inner name the directory does not hold, within `limit` attempts (0x1D0349 after).
class UniqueNameGenerator final : public NameGenerator {
public:
    UniqueNameGenerator(std::unique_ptr<NameGenerator> inner, std::unique_ptr<NameDirectory> directory, uint32_t limit)
        : inner_(std::move(inner)), directory_(std::move(directory)), limit_(limit)
    {
    }
    Common::Error Generate(const Processor::String& proposed, Processor::String& out) override;

private:
    std::unique_ptr<NameGenerator> inner_;
    std::unique_ptr<NameDirectory> directory_;
    uint32_t limit_;
};

// The proposed name itself while the directory does not hold it; else the inner name.
class SkipExistingEligibleNameGenerator final : public NameGenerator {
public:
    SkipExistingEligibleNameGenerator(std::unique_ptr<NameGenerator> inner, std::unique_ptr<NameDirectory> directory)
        : inner_(std::move(inner)), directory_(std::move(directory))
    {
    }
    Common::Error Generate(const Processor::String& proposed, Processor::String& out) override;

private:
    std::unique_ptr<NameGenerator> inner_;
    std::unique_ptr<NameDirectory> directory_;
};

constexpr uint32_t kOemInfNameLimit = 10000;

// The INF's own name when `infFolder` has no file of that name, else the first free
// oem1.inf, oem2.inf, ... up to oem10000.inf. `infFolder` must outlive the generator.
std::unique_ptr<NameGenerator> CreateOemInfNameGenerator(const Common::i_dir& infFolder);

}  // namespace Transvia
