// code128.cpp: Code 128 as ZPL II's ^BC codes it: modes, invocation codes, subset choice.
//
// Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
//
// Here ZPL itself decides the codewords, so the printer's choices are ours: the start subset,
// the switches between subsets, the UCC/EAN function characters.  The symbol's element widths
// are the standard's table below.

#include "symbols.h"

#include <array>
#include <cstddef>

namespace zplrender::barcodes {

namespace {

// Element widths of each codeword value 0-105 (bar, space, bar, space, bar, space); the stop
// pattern has a seventh element.
constexpr std::array<const char*, 106> kPatterns = {
    "212222", "222122", "222221", "121223", "121322", "131222", "122213", "122312", "132212",
    "221213", "221312", "231212", "112232", "122132", "122231", "113222", "123122", "123221",
    "223211", "221132", "221231", "213212", "223112", "312131", "311222", "321122", "321221",
    "312212", "322112", "322211", "212123", "212321", "232121", "111323", "131123", "131321",
    "112313", "132113", "132311", "211313", "231113", "231311", "112133", "112331", "132131",
    "113123", "113321", "133121", "313121", "211331", "231131", "213113", "213311", "213131",
    "311123", "311321", "331121", "312113", "312311", "332111", "314111", "221411", "431111",
    "111224", "111422", "121124", "121421", "141122", "141221", "112214", "112412", "122114",
    "122411", "142112", "142211", "241211", "221114", "413111", "241112", "134111", "111242",
    "121142", "121241", "114212", "124112", "124211", "411212", "421112", "421211", "212141",
    "214121", "412121", "111143", "111341", "131141", "114113", "114311", "411113", "411311",
    "113141", "114131", "311141", "411131", "211412", "211214", "211232"};
constexpr const char* kStopPattern = "2331112";

// Codeword values with a meaning of their own.
enum : int {
  kShift = 98,
  kCodeC = 99,
  kCodeB = 100,  // FNC4 in subset B
  kCodeA = 101,  // FNC4 in subset A
  kFnc1Value = 102,
  kStartA = 103,
  kStartB = 104,
  kStartC = 105,
  kStop = 106,
};

enum class Subset { A, B, C };

bool isDigit(int token) {
  return token >= '0' && token <= '9';
}

// Characters of subset A are 0-95 (controls and upper case), of B 32-127.
bool inA(int c) {
  return c >= 0 && c < 96;
}
bool inB(int c) {
  return c >= 32 && c < 128;
}
int valueA(int c) {
  return c < 32 ? c + 64 : c - 32;
}
int valueB(int c) {
  return c - 32;
}

int startValue(Subset s) {
  return s == Subset::A ? kStartA : s == Subset::B ? kStartB : kStartC;
}

// The codeword list being built, with the subset in force.
struct Builder {
  std::vector<int> codewords;
  Subset subset = Subset::B;

  void start(Subset s) {
    subset = s;
    codewords.push_back(startValue(s));
  }
  void switchTo(Subset s) {
    if (s == subset)
      return;
    codewords.push_back(s == Subset::A ? kCodeA : s == Subset::B ? kCodeB : kCodeC);
    subset = s;
  }
  // One character (0-127) in subset A or B, shifting for a single character of the other one.
  void character(int c) {
    if (subset == Subset::C)
      switchTo(inB(c) ? Subset::B : Subset::A);
    if (subset == Subset::A) {
      if (inA(c)) {
        codewords.push_back(valueA(c));
      } else {
        codewords.push_back(kShift);
        codewords.push_back(valueB(c));
      }
    } else {
      if (inB(c)) {
        codewords.push_back(valueB(c));
      } else {
        codewords.push_back(kShift);
        codewords.push_back(valueA(c));
      }
    }
  }
  // FNC4 marks the next character as one of 128-255.
  void fnc4() {
    if (subset == Subset::C)
      switchTo(Subset::B);
    codewords.push_back(subset == Subset::A ? kCodeA : kCodeB);
  }
  void finish() {
    long sum = codewords.at(0);
    for (std::size_t i = 1; i < codewords.size(); i++)
      sum += static_cast<long>(i) * codewords[i];
    codewords.push_back(static_cast<int>(sum % 103));
    codewords.push_back(kStop);
  }
};

// A character for the human-readable line: controls and function characters show nothing.
void showCharacter(std::string& text, int c) {
  if (c >= 32 && c != 127)
    text += static_cast<char>(c);
}

// The run of digits starting at `from`.
std::size_t digitRun(const std::vector<int>& tokens, std::size_t from) {
  std::size_t n = 0;
  while (from + n < tokens.size() && isDigit(tokens[from + n]))
    n++;
  return n;
}

// Subset A when a control character comes before any lower-case one from `from` on, else B.
Subset letterSubset(const std::vector<int>& tokens, std::size_t from) {
  for (std::size_t i = from; i < tokens.size(); i++) {
    int c = tokens[i] >= 128 ? tokens[i] - 128 : tokens[i];
    if (tokens[i] < 0)
      continue;
    if (c < 32)
      return Subset::A;
    if (c >= 96)
      return Subset::B;
  }
  return Subset::B;
}

// The printer's own subset choice for a token stream: subset C for runs of four digits or more
// (an odd run gives its first digit to the subset in force), A or B for the rest by whichever
// holds the next control or lower-case letter, a shift for a single character of the other.
std::vector<int> automaticCodewords(const std::vector<int>& tokens) {
  Builder b;
  std::size_t first = 0;
  while (first < tokens.size() && tokens[first] == kFnc1)
    first++;
  std::size_t lead = digitRun(tokens, first);
  bool allDigits = first + lead == tokens.size();
  if (lead >= 4 || (allDigits && lead >= 2 && lead % 2 == 0))
    b.start(Subset::C);
  else
    b.start(letterSubset(tokens, 0));

  for (std::size_t i = 0; i < tokens.size();) {
    int t = tokens[i];
    if (t == kFnc1) {
      b.codewords.push_back(kFnc1Value);
      i++;
      continue;
    }
    if (b.subset == Subset::C) {
      if (digitRun(tokens, i) >= 2) {
        b.codewords.push_back((tokens[i] - '0') * 10 + (tokens[i + 1] - '0'));
        i += 2;
        continue;
      }
      b.switchTo(letterSubset(tokens, i));
    }
    std::size_t run = digitRun(tokens, i);
    if (run >= 4) {
      if (run % 2 == 1) {
        b.character(tokens[i]);
        i++;
      }
      b.switchTo(Subset::C);
      continue;
    }
    if (t == kFnc2 || t == kFnc3) {
      b.codewords.push_back(t == kFnc2 ? 97 : 96);
      i++;
      continue;
    }
    int c = t;
    if (c >= 128) {
      b.fnc4();
      c -= 128;
    }
    bool here = b.subset == Subset::A ? inA(c) : inB(c);
    if (!here) {
      // Shifted when the next character only one subset holds is of the one in force again,
      // else a switch: whatever both hold goes either way.
      std::size_t j = i + 1;
      while (j < tokens.size() && (tokens[j] < 0 || (tokens[j] % 128 >= 32 && tokens[j] % 128 < 96)))
        j++;
      bool back = j < tokens.size() && (tokens[j] % 128 < 32) == (b.subset == Subset::A);
      if (!back)
        b.switchTo(b.subset == Subset::A ? Subset::B : Subset::A);
    }
    b.character(c);
    i++;
  }
  b.finish();
  return b.codewords;
}

// The data of modes A and D with invocation codes read as function characters; the subset
// choices they would make are the printer's own in these modes.
std::vector<int> tokensOf(std::string_view data, std::string* text) {
  constexpr int kIgnored = -100, kLiteral = -101;
  std::vector<int> tokens;
  for (std::size_t i = 0; i < data.size(); i++) {
    int c = static_cast<unsigned char>(data[i]);
    if (c == '>' && i + 1 < data.size()) {
      int token = kLiteral;
      switch (data[i + 1]) {
        case '<': case '0': token = '>'; break;
        case '=': token = '~'; break;
        case '1': token = 127; break;
        case '2': token = kFnc3; break;
        case '3': token = kFnc2; break;
        case '8': token = kFnc1; break;
        case '4': case '5': case '6': case '7': case '9': case ':': case ';': token = kIgnored; break;
        default: break;
      }
      if (token != kLiteral) {
        i++;
        if (token != kIgnored) {
          tokens.push_back(token);
          showCharacter(*text, token);
        }
        continue;
      }
    }
    tokens.push_back(c);
    showCharacter(*text, c);
  }
  return tokens;
}

// Mode N: the data says its subsets itself.  Without a start code it begins in subset B.  A
// character of the other letter subset is shifted.
Code128Symbol manualMode(std::string_view data) {
  Code128Symbol out;
  Builder b;
  std::size_t i = 0;
  Subset first = Subset::B;
  if (data.size() >= 2 && data[0] == '>' && (data[1] == '9' || data[1] == ':' || data[1] == ';')) {
    first = data[1] == '9' ? Subset::A : data[1] == ':' ? Subset::B : Subset::C;
    i = 2;
  }
  b.start(first);
  while (i < data.size()) {
    int c = static_cast<unsigned char>(data[i]);
    if (c == '>' && i + 1 < data.size()) {
      char code = data[i + 1];
      bool letters = b.subset != Subset::C;
      bool handled = true;
      switch (code) {
        case '<': case '0': b.character('>'); showCharacter(out.text, '>'); break;
        case '=':
          b.codewords.push_back(94);
          if (b.subset == Subset::B) showCharacter(out.text, '~');
          break;
        case '1': b.codewords.push_back(95); break;
        case '2': b.codewords.push_back(96); break;
        case '3': b.codewords.push_back(97); break;
        case '4':
          // SHIFT: the next character alone in the other letter subset.
          if (letters && i + 2 < data.size()) {
            int next = static_cast<unsigned char>(data[i + 2]);
            bool ok = b.subset == Subset::A ? inB(next) : inA(next);
            if (ok) {
              b.codewords.push_back(kShift);
              b.codewords.push_back(b.subset == Subset::A ? valueB(next) : valueA(next));
              showCharacter(out.text, next);
              i += 3;
              continue;
            }
          }
          break;
        case '5': if (letters) b.switchTo(Subset::C); break;
        case '6':
          if (b.subset == Subset::B) b.codewords.push_back(kCodeB);  // FNC4
          else b.switchTo(Subset::B);
          break;
        case '7':
          if (b.subset == Subset::A) b.codewords.push_back(kCodeA);  // FNC4
          else b.switchTo(Subset::A);
          break;
        case '8': b.codewords.push_back(kFnc1Value); break;
        case '9': b.switchTo(Subset::A); break;
        case ':': b.switchTo(Subset::B); break;
        case ';': b.switchTo(Subset::C); break;
        default: handled = false;
      }
      if (handled) {
        i += 2;
        continue;
      }
    }
    if (b.subset == Subset::C) {
      // Subset C takes digit pairs as the printer reads them: a non-digit where a pair begins
      // is skipped, a pair whose second character is not a digit is dropped whole, and so is
      // a lone digit before an invocation code or the end.
      if (!isDigit(c)) {
        i++;
        continue;
      }
      if (i + 1 < data.size() && isDigit(static_cast<unsigned char>(data[i + 1]))) {
        b.codewords.push_back((c - '0') * 10 + (data[i + 1] - '0'));
        out.text += data.substr(i, 2);
      }
      i += 2;
      if (i - 1 < data.size() && data[i - 1] == '>')
        i--;
      continue;
    }
    if (c >= 128) {
      b.fnc4();
      c -= 128;
    }
    b.character(c);
    showCharacter(out.text, c);
    i++;
  }
  b.finish();
  out.codewords = std::move(b.codewords);
  return out;
}

std::string digitsOf(std::string_view data) {
  std::string digits;
  for (char c : data)
    if (c >= '0' && c <= '9')
      digits += c;
  return digits;
}

bool allDigits(std::string_view s) {
  for (char c : s)
    if (c < '0' || c > '9')
      return false;
  return !s.empty();
}

// Mode D: "(AI)data" elements, parentheses and spaces kept for the human-readable line only,
// FNC1 first and after each field of variable length, check digits of SSCC and GTIN added
// when they are left off.
Code128Symbol uccEanMode(std::string_view data) {
  Code128Symbol out;
  if (data.find('(') == std::string_view::npos) {
    std::vector<int> tokens = tokensOf(data, &out.text);
    if (tokens.empty() || tokens[0] != kFnc1)
      tokens.insert(tokens.begin(), kFnc1);
    out.codewords = automaticCodewords(tokens);
    return out;
  }
  std::vector<int> tokens{kFnc1};
  std::size_t i = 0;
  while (i < data.size()) {
    while (i < data.size() && data[i] == ' ')
      i++;
    if (i >= data.size())
      break;
    if (data[i] != '(') {
      out.error = "GS1-128 data must be (AI)value elements";
      return out;
    }
    std::size_t close = data.find(')', i);
    if (close == std::string_view::npos) {
      out.error = "GS1-128 data has an application identifier without its ')'";
      return out;
    }
    std::string ai(data.substr(i + 1, close - i - 1));
    std::size_t next = data.find('(', close);
    std::string value;
    for (char c : data.substr(close + 1, next == std::string_view::npos ? next : next - close - 1))
      if (c != ' ')
        value += c;
    if (!allDigits(ai) || ai.size() < 2 || ai.size() > 4) {
      out.error = "GS1-128 application identifier (" + ai + ") is not 2 to 4 digits";
      return out;
    }
    bool last = next == std::string_view::npos;
    // The line shows the element as written, spaces and all, the check digit after its value.
    std::string_view written = data.substr(i, last ? data.size() - i : next - i);
    std::size_t valueEnd = written.find_last_not_of(' ') + 1;
    if (((ai == "00" && value.size() == 17) || ((ai == "01" || ai == "02") && value.size() == 13)) &&
        allDigits(value)) {
      value += gs1CheckDigit(value);
      out.text += std::string(written.substr(0, valueEnd)) + value.back() +
                  std::string(written.substr(valueEnd));
    } else {
      out.text += written;
    }
    for (char c : ai)
      tokens.push_back(c);
    for (char c : value)
      tokens.push_back(static_cast<unsigned char>(c));
    if (!last && gs1PredefinedLength(ai + value) == 0)
      tokens.push_back(kFnc1);
    i = last ? data.size() : next;
  }
  out.codewords = automaticCodewords(tokens);
  return out;
}

// Mode U: a UCC case code of 19 digits (cut or filled with zeros on the right) and its mod 10
// check digit, in subset C after FNC1, shown as "(00) 0 0000000 000000000 0".
Code128Symbol uccCaseMode(std::string_view data) {
  Code128Symbol out;
  std::string digits = digitsOf(data);
  digits.resize(19, '0');
  digits += gs1CheckDigit(digits);
  std::vector<int> tokens{kFnc1};
  for (char c : digits)
    tokens.push_back(c);
  out.codewords = automaticCodewords(tokens);
  // (Appended piece by piece: GCC 12 warns falsely about chains of string additions.)
  std::string_view d = digits;
  std::string text(1, '(');
  text.append(d.substr(0, 2)).append(") ").append(d.substr(2, 1)).append(" ");
  text.append(d.substr(3, 7)).append(" ").append(d.substr(10, 9)).append(" ").append(d.substr(19, 1));
  out.text = std::move(text);
  return out;
}

}  // namespace

char gs1CheckDigit(std::string_view digits) {
  int sum = 0;
  int weight = 3;
  for (std::size_t i = digits.size(); i-- > 0;) {
    sum += (digits[i] - '0') * weight;
    weight = 4 - weight;
  }
  return static_cast<char>('0' + (10 - sum % 10) % 10);
}

Code128Symbol encodeCode128(std::string_view data, char mode, bool uccCheckDigit) {
  Code128Symbol out;
  if (data.empty()) {
    out.error = "Code 128 field has no data";
    return out;
  }
  std::string withCheck;
  if (uccCheckDigit && mode != 'U' && mode != 'D') {
    // The UCC mod 10 digit goes after digits-only data (invocation codes aside).
    std::string plain;
    std::string ignored;
    for (int t : tokensOf(data, &ignored))
      if (t >= 0)
        plain += static_cast<char>(t);
    if (allDigits(plain)) {
      withCheck = std::string(data) + gs1CheckDigit(plain);
      data = withCheck;
    }
  }
  switch (mode) {
    case 'U':
      if (data.find('>') != std::string_view::npos) {
        // Newer printers take UCC data with its own invocation codes in this mode.
        out.codewords = automaticCodewords(tokensOf(data, &out.text));
        return out;
      }
      return uccCaseMode(data);
    case 'A':
      out.codewords = automaticCodewords(tokensOf(data, &out.text));
      return out;
    case 'D':
      return uccEanMode(data);
    default:
      return manualMode(data);
  }
}

std::vector<int> code128Elements(const std::vector<int>& codewords) {
  std::vector<int> elements;
  for (int cw : codewords) {
    const char* p = cw == kStop ? kStopPattern : kPatterns.at(static_cast<std::size_t>(cw));
    for (; *p; p++)
      elements.push_back(*p - '0');
  }
  return elements;
}

int gs1AiDigits(std::string_view digits) {
  if (digits.size() < 2)
    return 2;
  int p = (digits[0] - '0') * 10 + (digits[1] - '0');
  if (p <= 22 || p == 30 || p == 37 || p >= 90)
    return 2;
  if ((p >= 23 && p <= 25) || (p >= 40 && p <= 42) || p == 71)
    return 3;
  return 4;  // 31-36, 39, 43, 70, 72, 80-82 and the rest
}

int gs1PredefinedLength(std::string_view digits) {
  if (digits.size() < 2)
    return 0;
  int p = (digits[0] - '0') * 10 + (digits[1] - '0');
  switch (p) {
    case 0: return 20;
    case 1: case 2: case 3: return 16;
    case 4: return 18;
    case 11: case 12: case 13: case 14: case 15: case 16: case 17: case 18: case 19: return 8;
    case 20: return 4;
    case 31: case 32: case 33: case 34: case 35: case 36: return 10;
    case 41: return 16;
    default: return 0;
  }
}

std::string gs1Bracketed(std::string_view raw) {
  std::string out;
  std::size_t i = 0;
  while (i < raw.size()) {
    if (raw[i] == '\x1d') {
      i++;
      continue;
    }
    std::string_view rest = raw.substr(i);
    int aiLen = gs1AiDigits(rest);
    if (rest.size() <= static_cast<std::size_t>(aiLen) || !allDigits(rest.substr(0, aiLen)))
      return {};
    std::size_t end;
    int fixed = gs1PredefinedLength(rest);
    if (fixed > 0) {
      if (rest.size() < static_cast<std::size_t>(fixed))
        return {};
      end = static_cast<std::size_t>(fixed);
    } else {
      end = rest.find('\x1d');
      if (end == std::string_view::npos)
        end = rest.size();
    }
    out += '[';
    out += rest.substr(0, aiLen);
    out += ']';
    out += rest.substr(aiLen, end - aiLen);
    i += end;
  }
  return out;
}

}  // namespace zplrender::barcodes
