#include "kq_ihumanreadable.h"

#include "kq_thumanreadablestream.h"
#include "kq_tstring.h"

KQ_INTERFACE_IMPL(KQ_IHumanReadable)

bool KQ_IHumanReadable::KQ_HRMultiLine() const { return true; }

void KQ_IHumanReadable::KQ_WriteTo(KQ_THumanReadableStream& stream) const {
  stream.WriteTokens(ClassName());
  if (!KQ_HRMultiLine()) {
    stream.WriteTokens(" { ");
    stream.Indent();
    WriteTo(stream);
    stream.ReverseIndent();
    stream.WriteTokens(" }");
    return;
  }
  stream.WriteTokens(" {\n");
  stream.Indent();
  stream.AddPrefix();
  WriteTo(stream);
  stream.WriteTokens("\n");
  stream.ReverseIndent();
  stream.AddPrefix();
  stream.WriteTokens("}");
}

void KQ_IHumanReadable::KQ_ReadFrom(KQ_THumanReadableStream& stream) {
  static KQ_TString const delimiters(" \t\n\r{");
  KQ_TString const name = stream.ReadToken(delimiters);
  if (name != ClassName()) {
    stream.SyntaxError(ClassName(), KQ_THumanReadableStream::Quoted(name.UTF8()));
  }
  stream.Expect('{');
  if (!ReadFrom(stream)) stream.Expect('}');
}
