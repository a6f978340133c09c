#include "transvia/dir.h"

namespace Common {

template <class R> R rio_dir_delegate::relay(R result) const
{
    error_ = inner_->last_error();
    return result;
}

std::shared_ptr<i_file> rio_dir_delegate::open_file(const Processor::String& path) const { return relay(inner_->open_file(path)); }
std::shared_ptr<i_dir> rio_dir_delegate::open_dir(const Processor::String& path) const { return relay(inner_->open_dir(path)); }
std::unique_ptr<i_dir::iterator> rio_dir_delegate::entries() const { return relay(inner_->entries()); }
bool rio_dir_delegate::exists(const Processor::String& path) const { return relay(inner_->exists(path)); }
std::optional<dir_entry> rio_dir_delegate::stat(const Processor::String& path) const { return relay(inner_->stat(path)); }
int rio_dir_delegate::compare_names(const Processor::String& a, const Processor::String& b) const { return inner_->compare_names(a, b); }
std::shared_ptr<i_dir> rio_dir_delegate::reopen() const { return relay(inner_->reopen()); }
Processor::String rio_dir_delegate::full_path() const { return inner_->full_path(); }
int rio_dir_delegate::compare(const i_dir& other) const { return inner_->compare(other); }
bool rio_dir_delegate::identify(file_identifier& id) const { return relay(inner_->identify(id)); }

std::shared_ptr<o_file> rio_dir_delegate::create_file(const Processor::String& path) { return relay(inner_->create_file(path)); }
bool rio_dir_delegate::delete_file(const Processor::String& path) { return relay(inner_->delete_file(path)); }
bool rio_dir_delegate::move(const Processor::String& from, const Processor::String& to, bool replace) { return relay(inner_->move(from, to, replace)); }
bool rio_dir_delegate::create_hard_link(const Processor::String& existing, const Processor::String& link) { return relay(inner_->create_hard_link(existing, link)); }
bool rio_dir_delegate::create_dir(const Processor::String& path, const Processor::String* junctionTarget) { return relay(inner_->create_dir(path, junctionTarget)); }
bool rio_dir_delegate::create_dir_like(const Processor::String& path, const Processor::String& model) { return relay(inner_->create_dir_like(path, model)); }
bool rio_dir_delegate::remove_dir(const Processor::String& path) { return relay(inner_->remove_dir(path)); }
bool rio_dir_delegate::set_security(const Processor::String& path, const security_descriptor& security) { return relay(inner_->set_security(path, security)); }
bool rio_dir_delegate::set_attributes(const Processor::String& path, uint32_t attributes) { return relay(inner_->set_attributes(path, attributes)); }

std::shared_ptr<rio_file> rio_dir_delegate::open_file_rw(const Processor::String& path) { return relay(inner_->open_file_rw(path)); }
std::shared_ptr<rio_file> rio_dir_delegate::create_file_rw(const Processor::String& path) { return relay(inner_->create_file_rw(path)); }
std::shared_ptr<rio_dir> rio_dir_delegate::open_dir_rw(const Processor::String& path) { return relay(inner_->open_dir_rw(path)); }
std::shared_ptr<rio_file> rio_dir_delegate::create_new_file(const Processor::String& path, uint32_t mode) { return relay(inner_->create_new_file(path, mode)); }
bool rio_dir_delegate::get_security(const Processor::String& path, security_descriptor& security) const { return relay(inner_->get_security(path, security)); }

}  // namespace Common
