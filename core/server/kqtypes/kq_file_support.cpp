// Local names and file exceptions shared by KQ_TFile and KQ_TFileInfo.
#include "internal/kq_file_support.h"

#include "platform/kq_sys_file.h"

namespace {

using Rule = KQ_TString::UTF8Rule;

}  // namespace

bool kq::FileSystemName(KQ_TString const& name, std::string* bytes) {
  *bytes = name.ToUTF8(Rule::kBytes);
  return kq::sys::UsableName(bytes->data(), bytes->size());
}

KQ_TString kq::FromFileSystem(std::string const& bytes) {
  return KQ_TString::FromUTF8(bytes.data(), static_cast<std::uint32_t>(bytes.size()), Rule::kBytes);
}
