// Parameter lists: the names, order and defaults of a callable's parameters,
// and what a member function takes and returns. Known at compile time and
// free of Python, so the operation table and the block kernel can be built
// and tested without the interpreter; the frame gives them their Python face
// (argument matching, conversion, and the text signature of every docstring).
#pragma once

#include <cstddef>
#include <tuple>
#include <type_traits>

namespace vorda {

// A string known at compile time (a name, or a docstring's prose), so that
// entry points and docstrings can be made from it without a closure.
template <std::size_t N>
struct Name {
  char text[N]{};
  constexpr Name(const char (&s)[N]) {
    for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
  }
};

// One parameter: its name, and for an optional one the default as a
// signature shows it ("0.995", "0", "None"). An absent optional parameter
// reaches the processor as the default's value (converted to the
// parameter's type), or as an empty optional for "None".
struct Param {
  static constexpr std::size_t kCapacity = 24;
  char name[kCapacity]{};
  char default_text[kCapacity]{};
  bool required = true;
  double fallback = 0.0;
};

namespace detail {

consteval void copy_text(char (&to)[Param::kCapacity], const char* from) {
  std::size_t i = 0;
  for (; from[i] != '\0'; ++i) {
    if (i + 1 >= Param::kCapacity) throw "a parameter's name or default is too long";
    to[i] = from[i];
  }
  to[i] = '\0';
}

// A plain decimal ("0.995", "-1", "0.0") as the nearest double: its digits
// and its power of ten are exact doubles, so one division rounds correctly,
// as the interpreter reads the same literal.
consteval double decimal_value(const char* text) {
  bool negative = *text == '-';
  if (negative) ++text;
  double digits = 0.0, scale = 1.0;
  bool point = false;
  for (; *text != '\0'; ++text) {
    if (*text == '.') {
      if (point) throw "a default has two decimal points";
      point = true;
      continue;
    }
    if (*text < '0' || *text > '9') throw "a default is not a plain decimal";
    digits = digits * 10.0 + (*text - '0');
    if (point) scale *= 10.0;
    if (digits >= 9007199254740992.0 || scale > 1e22) throw "a default has too many digits";
  }
  double value = digits / scale;
  return negative ? -value : value;
}

}  // namespace detail

consteval Param req(const char* name) {
  Param p;
  detail::copy_text(p.name, name);
  return p;
}

// `default_text` is the default as Python writes it ("0.995", "None",
// "False"); a number's value is the fallback of a numeric parameter.
consteval Param opt(const char* name, const char* default_text = "None") {
  Param p = req(name);
  p.required = false;
  detail::copy_text(p.default_text, default_text);
  const char first = default_text[0];
  if (first == '-' || (first >= '0' && first <= '9'))
    p.fallback = detail::decimal_value(default_text);
  return p;
}

template <Param... Params>
struct ParamList {
  static constexpr int count = sizeof...(Params);
  static constexpr const Param all[count > 0 ? count : 1] = {Params...};
  static constexpr const char* names[count > 0 ? count : 1] = {Params.name...};
  // Optional parameters follow the required ones.
  static constexpr int required = [] {
    int n = 0;
    while (n < count && all[n].required) ++n;
    for (int i = n; i < count; ++i)
      if (all[i].required) throw "a required parameter follows an optional one";
    return n;
  }();
};

// What a member function (or a function) takes and returns.
template <class F>
struct Callable;

template <class C, class R, class... A>
struct Callable<R (C::*)(A...)> {
  using Class = C;
  using Result = R;
  using Args = std::tuple<std::decay_t<A>...>;
  static constexpr bool is_const = false;
};

template <class C, class R, class... A>
struct Callable<R (C::*)(A...) const> : Callable<R (C::*)(A...)> {
  static constexpr bool is_const = true;
};

template <class R, class... A>
struct Callable<R (*)(A...)> {
  using Result = R;
  using Args = std::tuple<std::decay_t<A>...>;
};

template <class C, class R, class... A>
struct Callable<R (C::*)(A...) noexcept> : Callable<R (C::*)(A...)> {};
template <class C, class R, class... A>
struct Callable<R (C::*)(A...) const noexcept> : Callable<R (C::*)(A...) const> {};
template <class R, class... A>
struct Callable<R (*)(A...) noexcept> : Callable<R (*)(A...)> {};

// One parameter name for every argument of `Fn`.
template <auto Fn, class Params>
inline constexpr bool params_fit =
    std::tuple_size_v<typename Callable<decltype(Fn)>::Args> == Params::count;

// A docstring: the text signature the interpreter reads `__text_signature__`
// from ("name($self, xn, pos=0.0)\n--\n\n"), made from the parameter list
// that parses the call, then the prose. `Method` adds the `$self`.
template <Name Callee, bool Method, class Params, Name Prose>
struct Docstring {
 private:
  struct Out {
    char* at;
    std::size_t size = 0;
    constexpr void put(const char* text) {
      for (; *text != '\0'; ++text, ++size)
        if (at != nullptr) at[size] = *text;
    }
  };
  static constexpr void write(Out& out) {
    out.put(Callee.text);
    out.put(Method ? "($self" : "(");
    for (int i = 0; i < Params::count; ++i) {
      if (Method || i > 0) out.put(", ");
      out.put(Params::all[i].name);
      if (!Params::all[i].required) {
        out.put("=");
        out.put(Params::all[i].default_text);
      }
    }
    out.put(")\n--\n\n");
    out.put(Prose.text);
  }
  static constexpr std::size_t kSize = [] {
    Out out{nullptr};
    write(out);
    return out.size;
  }();
  static constexpr auto make() {
    struct {
      char chars[kSize + 1]{};
    } text;
    Out out{text.chars};
    write(out);
    return text;
  }
  static constexpr auto kText = make();

 public:
  static constexpr const char* text = kText.chars;
};

}  // namespace vorda
