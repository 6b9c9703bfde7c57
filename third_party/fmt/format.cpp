// fmt's implementation, compiled once for the whole program instead of in every unit that formats
// (the headers are used without FMT_HEADER_ONLY). The explicit instantiations are the ones the
// headers declare extern for that use.
#include <fmt/format-inl.h>

FMT_BEGIN_NAMESPACE
namespace detail {
template FMT_API auto thousands_sep_impl<char>(locale_ref) -> thousands_sep_result<char>;
template FMT_API auto thousands_sep_impl<wchar_t>(locale_ref) -> thousands_sep_result<wchar_t>;
template FMT_API auto decimal_point_impl(locale_ref) -> char;
template FMT_API auto decimal_point_impl(locale_ref) -> wchar_t;
}  // namespace detail
FMT_END_NAMESPACE
