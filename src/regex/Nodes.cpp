#include "regex/Nodes.h"

#include <algorithm>

namespace regex {
namespace detail {

void* arena::allocate(size_t Size, size_t Align)
{
    size_t pad = m_Cur ? (Align - reinterpret_cast<std::uintptr_t>(m_Cur) % Align) % Align : 0;
    if (!m_Cur || pad + Size > m_Left) {
        const size_t blockSize = std::max(kBlockSize, Size + Align);
        m_Blocks.push_back(std::make_unique<unsigned char[]>(blockSize));
        m_Cur = m_Blocks.back().get();
        m_Left = blockSize;
        pad = (Align - reinterpret_cast<std::uintptr_t>(m_Cur) % Align) % Align;
    }
    void* result = m_Cur + pad;
    m_Cur += pad + Size;
    m_Left -= pad + Size;
    return result;
}

node* make_char(arena& Arena, unsigned char Ch, unsigned Flags)
{
    if ((Flags & NOCASE) && to_lower(Ch) != to_upper(Ch)) {
        return Arena.make<char_node>(node_kind::chr_nocase, to_lower(Ch), to_upper(Ch));
    }
    return Arena.make<char_node>(node_kind::chr, Ch, Ch);
}

node* make_literal(arena& Arena, const std::string& Text, unsigned Flags)
{
    if (Text.size() == 1) {
        return make_char(Arena, static_cast<unsigned char>(Text[0]), Flags);
    }
    bool hasCase = false;
    if (Flags & NOCASE) {
        for (char ch : Text) {
            const auto byte = static_cast<unsigned char>(ch);
            hasCase = hasCase || to_lower(byte) != to_upper(byte);
        }
    }
    literal_node* literal =
        Arena.make<literal_node>(hasCase ? node_kind::literal_nocase : node_kind::literal);
    literal->Length = Text.size();
    unsigned char* lower = Arena.make_array<unsigned char>(Text.size());
    for (size_t i = 0; i < Text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(Text[i]);
        lower[i] = hasCase ? to_lower(byte) : byte;
    }
    literal->Lower = lower;
    literal->Upper = lower;
    if (hasCase) {
        unsigned char* upper = Arena.make_array<unsigned char>(Text.size());
        for (size_t i = 0; i < Text.size(); ++i) {
            upper[i] = to_upper(static_cast<unsigned char>(Text[i]));
        }
        literal->Upper = upper;
    }
    return literal;
}

const char* node_kind_name(node_kind Kind)
{
    switch (Kind) {
    case node_kind::chr:
        return "char";
    case node_kind::chr_nocase:
        return "char_nocase";
    case node_kind::literal:
        return "literal";
    case node_kind::literal_nocase:
        return "literal_nocase";
    case node_kind::set:
        return "set";
    case node_kind::any_but_newline:
        return "any_but_newline";
    case node_kind::any:
        return "any";
    case node_kind::assert_bos:
        return "assert_bos";
    case node_kind::assert_bol:
        return "assert_bol";
    case node_kind::assert_peos:
        return "assert_peos";
    case node_kind::assert_eol:
        return "assert_eol";
    case node_kind::assert_eos:
        return "assert_eos";
    case node_kind::word_boundary:
        return "word_boundary";
    case node_kind::not_word_boundary:
        return "not_word_boundary";
    case node_kind::backref:
        return "backref";
    case node_kind::backref_nocase:
        return "backref_nocase";
    case node_kind::group:
        return "group";
    case node_kind::independent:
        return "independent";
    case node_kind::lookahead:
        return "lookahead";
    case node_kind::lookbehind:
        return "lookbehind";
    case node_kind::cond_backref:
        return "cond_backref";
    case node_kind::cond_assert:
        return "cond_assert";
    case node_kind::recurse:
        return "recurse";
    case node_kind::max_atom:
        return "max_atom";
    case node_kind::min_atom:
        return "min_atom";
    case node_kind::max_group:
        return "max_group";
    case node_kind::min_group:
        return "min_group";
    case node_kind::end_quant:
        return "end_quant";
    case node_kind::end_group:
        return "end_group";
    case node_kind::end_of_pattern:
        return "end_of_pattern";
    }
    return "?";
}

namespace {

std::string Number(size_t Value)
{
    return Value == kUnbounded ? std::string("U") : std::to_string(Value);
}

std::string Quoted(const unsigned char* Bytes, size_t Length)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out = "\"";
    for (size_t i = 0; i < Length; ++i) {
        const unsigned ch = Bytes[i];
        if (ch >= 32 && ch < 127 && ch != '"' && ch != '\\') {
            out += static_cast<char>(ch);
        } else {
            out += "\\x";
            out += kHex[ch >> 4];
            out += kHex[ch & 15];
        }
    }
    return out + "\"";
}

class dumper {
  public:
    explicit dumper(std::string& Out) : m_Out(Out) {}

    void chain(const node* Head, const group_node* Owner, int Indent)
    {
        for (const node* cur = Head; cur; cur = cur->Next) {
            one(cur, Indent);
            if (cur->Kind == node_kind::end_group &&
                static_cast<const end_group_node*>(cur)->Group == Owner) {
                return;
            }
            if (cur->Kind == node_kind::end_of_pattern) {
                return;
            }
        }
    }

    void one(const node* Node, int Indent)
    {
        line(Indent);
        if (is_group_kind(Node->Kind)) {
            group_header(static_cast<const group_node*>(Node));
            group_body(static_cast<const group_node*>(Node), Indent);
            return;
        }
        m_Out += node_kind_name(Node->Kind);
        switch (Node->Kind) {
        case node_kind::chr:
        case node_kind::chr_nocase: {
            const auto* ch = static_cast<const char_node*>(Node);
            m_Out += ' ';
            m_Out += Quoted(&ch->Lower, 1);
            if (Node->Kind == node_kind::chr_nocase) {
                m_Out += ' ';
                m_Out += Quoted(&ch->Upper, 1);
            }
            break;
        }
        case node_kind::literal:
        case node_kind::literal_nocase: {
            const auto* literal = static_cast<const literal_node*>(Node);
            m_Out += ' ';
            m_Out += Quoted(literal->Lower, literal->Length);
            if (Node->Kind == node_kind::literal_nocase) {
                m_Out += ' ';
                m_Out += Quoted(literal->Upper, literal->Length);
            }
            break;
        }
        case node_kind::set:
            m_Out += ' ';
            m_Out += static_cast<const set_node*>(Node)->Set.to_string();
            break;
        case node_kind::backref:
        case node_kind::backref_nocase: {
            const auto* ref = static_cast<const backref_node*>(Node);
            m_Out += ' ' + std::to_string(ref->Visible) + " internal " + std::to_string(ref->Internal);
            break;
        }
        case node_kind::max_atom:
        case node_kind::min_atom: {
            const auto* quant = static_cast<const atom_quant_node*>(Node);
            m_Out += " {" + Number(quant->Lb) + "," + Number(quant->Ub) + "}";
            width(Node);
            one(quant->Atom, Indent + 1);
            return;
        }
        case node_kind::max_group:
        case node_kind::min_group: {
            const auto* quant = static_cast<const group_quant_node*>(Node);
            m_Out += " {" + Number(quant->Lb) + "," + Number(quant->Ub) + "}";
            width(Node);
            group(quant->Group, Indent + 1);
            return;
        }
        case node_kind::end_group:
            m_Out += ' ' + std::to_string(static_cast<const end_group_node*>(Node)->Group->Number);
            return;
        case node_kind::end_of_pattern:
            return;
        default:
            break;
        }
        width(Node);
    }

  private:
    void line(int Indent)
    {
        if (!m_Out.empty()) {
            m_Out += '\n';
        }
        m_Out.append(static_cast<size_t>(Indent) * 2, ' ');
    }

    void width(const node* Node)
    {
        m_Out += " w=[" + Number(Node->Width.Min) + "," + Number(Node->Width.Max) + "]";
    }

    void group(const group_node* Group, int Indent)
    {
        line(Indent);
        group_header(Group);
        group_body(Group, Indent);
    }

    void group_header(const group_node* Group)
    {
        m_Out += node_kind_name(Group->Kind);
        switch (Group->Kind) {
        case node_kind::group:
            m_Out += ' ' + std::to_string(Group->Number) + (Group->Capturing ? " capture" : " invisible");
            break;
        case node_kind::lookahead:
        case node_kind::lookbehind:
            m_Out += Group->Positive ? " positive" : " negative";
            if (Group->Kind == node_kind::lookbehind) {
                m_Out += " inner=[" + Number(Group->Inner.Min) + "," + Number(Group->Inner.Max) + "]";
            }
            break;
        case node_kind::cond_backref:
            m_Out += ' ' + std::to_string(Group->Number) + " if " + std::to_string(Group->CondVisible) +
                     " internal " + std::to_string(Group->CondInternal);
            break;
        default:
            m_Out += ' ' + std::to_string(Group->Number);
            break;
        }
        width(Group);
        if (Group->HasFirst) {
            m_Out += " first=" + Group->First.to_string();
        }
    }

    void group_body(const group_node* Group, int Indent)
    {
        if (Group->Condition) {
            line(Indent + 1);
            m_Out += "condition";
            group(Group->Condition, Indent + 2);
        }
        for (size_t i = 0; i < Group->AltCount; ++i) {
            line(Indent + 1);
            m_Out += "alt";
            chain(Group->Alts[i], Group, Indent + 2);
        }
    }

    std::string& m_Out;
};

} // namespace

std::string dump_pattern(const compiled_pattern& Pattern)
{
    std::string out;
    dumper(out).chain(Pattern.Top, nullptr, 0);
    return out;
}

} // namespace detail
} // namespace regex
