#include "engine/query/compiler.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "engine/database.h"
#include "engine/symbol_table.h"
#include "engine/table_descriptor.h"

namespace {

// Thrown by error() after the report, caught by compile().
struct dbCompileAbort {};

struct Keyword {
  const char* text;
  int token;
};

const Keyword keywords[] = {
    {"all", dbQueryCompiler::tknAll},         {"abs", dbQueryCompiler::tknAbs},
    {"and", dbQueryCompiler::tknAnd},         {"asc", dbQueryCompiler::tknAsc},
    {"between", dbQueryCompiler::tknBetween}, {"by", dbQueryCompiler::tknBy},
    {"current", dbQueryCompiler::tknCurrent}, {"desc", dbQueryCompiler::tknDesc},
    {"escape", dbQueryCompiler::tknEscape},   {"exists", dbQueryCompiler::tknExists},
    {"first", dbQueryCompiler::tknFirst},     {"false", dbQueryCompiler::tknFalse},
    {"follow", dbQueryCompiler::tknFollow},   {"from", dbQueryCompiler::tknFrom},
    {"in", dbQueryCompiler::tknIn},           {"is", dbQueryCompiler::tknIs},
    {"integer", dbQueryCompiler::tknInteger}, {"insert", dbQueryCompiler::tknInsert},
    {"into", dbQueryCompiler::tknInto},       {"last", dbQueryCompiler::tknLast},
    {"length", dbQueryCompiler::tknLength},   {"like", dbQueryCompiler::tknLike},
    {"lower", dbQueryCompiler::tknLower},     {"not", dbQueryCompiler::tknNot},
    {"null", dbQueryCompiler::tknNull},       {"or", dbQueryCompiler::tknOr},
    {"order", dbQueryCompiler::tknOrder},     {"real", dbQueryCompiler::tknReal},
    {"select", dbQueryCompiler::tknSelect},   {"start", dbQueryCompiler::tknStart},
    {"string", dbQueryCompiler::tknString},   {"table", dbQueryCompiler::tknTable},
    {"true", dbQueryCompiler::tknTrue},       {"upper", dbQueryCompiler::tknUpper},
    {"where", dbQueryCompiler::tknWhere},
};
static_assert(sizeof(keywords) / sizeof(keywords[0]) == 35);

// Offsets of the relations within each comparison family, in token order
// (=, <>, >, >=, <, <=), and the relation that holds with the operands exchanged.
constexpr int mirrorOf[] = {0, 1, 4, 5, 2, 3};

bool isParameter(const dbExprNode* n) { return n->cop >= dbvmVariableBool && n->cop <= dbvmVariableRawBinary; }
bool isRawField(const dbExprNode* n) { return n->cop == dbvmLoadRawBinary || n->cop == dbvmLoadSelfRawBinary; }
bool isSelfField(const dbExprNode* n) {
  return (n->cop >= dbvmLoadSelfBool && n->cop <= dbvmLoadSelfArray) || n->cop == dbvmLoadSelfRawBinary;
}

// Value type of a stored field type (the data kinds, 0 to 9).
nat1 valueTypeOf(int fieldType) {
  switch (fieldType) {
    case tpBool: return etBoolean;
    case tpInt1: case tpInt2: case tpInt4: case tpInt8: return etInteger;
    case tpReal4: case tpReal8: return etReal;
    case tpString: return etString;
    case tpReference: return etReference;
    default: return etArray;
  }
}

// Value type of a parameter kind.
nat1 parameterType(nat1 kind) {
  switch (kind) {
    case qBool: return etBoolean;
    case qInt1: case qInt2: case qInt4: case qInt8: return etInteger;
    case qReal4: case qReal8: return etReal;
    case qStrArray: case qStrPtr: return etString;
    case qReference: return etReference;
    case qArrayOfRef: case qArrayOfRefPtr: return etArray;
    default: return etRawBinary;
  }
}

}  // namespace

dbQueryCompiler::dbQueryCompiler() {
  static const bool registered = [] {
    for (const Keyword& k : keywords) {
      const char* text = k.text;
      dbSymbolTable::add(text, k.token, false);
    }
    return true;
  }();
  (void)registered;
}

// ---- Scanner

void dbQueryCompiler::ungetToken(int token) {
  lex = token;
  hasToken = true;
}

int dbQueryCompiler::scan() {
  if (hasToken) {
    hasToken = false;
    return lex;
  }
  for (;;) {
    if (element == nullptr) return tknEof;
    if (element->kind != qText) {
      varKind = element->kind;
      varPtr = element->ptr;
      varRefTable = element->refTable;
      element = element->next;
      currPos = 0;
      return tknVar;
    }
    const char* text = element->ptr != nullptr ? static_cast<const char*>(element->ptr) : "";
    const char* p = text + currPos;
    int ch = static_cast<unsigned char>(*p);
    if (ch == 0) {
      // The last element keeps its position, so that errors at the end of
      // the text point at its end.
      if (element->next == nullptr) return tknEof;
      element = element->next;
      currPos = 0;
      continue;
    }
    currPos++;
    switch (ch) {
      case '\n':
        lineStart = currPos;
        firstPos = 0;
        continue;
      case '(': return tknLpar;
      case ')': return tknRpar;
      case '[': return tknLbr;
      case ']': return tknRbr;
      case '.': return tknDot;
      case ',': return tknComma;
      case '^': return tknPower;
      case ':': return tknCol;
      case '+': return tknAdd;
      case '*': return tknMul;
      case '/': return tknDiv;
      case '=': return tknEq;
      case '-':
        if (p[1] == '-') {
          // A comment runs to the end of the line; the line feed is scanned as white space.
          while (text[currPos] != '\n' && text[currPos] != '\0') currPos++;
          continue;
        }
        return tknSub;
      case '<':
        if (p[1] == '=') {
          currPos++;
          return tknLe;
        }
        if (p[1] == '>') {
          currPos++;
          return tknNe;
        }
        return tknLt;
      case '>':
        if (p[1] == '=') {
          currPos++;
          return tknGe;
        }
        return tknGt;
      case '!':
        if (p[1] != '=') error("Invalid token '!'");
        currPos++;
        return tknNe;
      case '|':
        if (p[1] != '|') error("Invalid token '|'");
        currPos++;
        return tknAdd;
      case '\'':
        return scanString(p + 1);
      default:
        if (isspace(ch)) continue;
        if (isdigit(ch)) return scanNumber(p);
        if (isalpha(ch) || ch == '$' || ch == '_') return scanName(p);
        error("Invalid symbol");
    }
  }
}

int dbQueryCompiler::scanNumber(const char* p) {
  int digits = 0;
  while (isdigit(static_cast<unsigned char>(p[digits]))) digits++;
  char next = p[digits];
  if (next == '.' || next == 'e' || next == 'E') {
    // Read by sscanf from a bounded copy of the characters a real can hold:
    // sscanf measures its whole input first, and the text may be long.
    int n = 0;
    while (n < maxStringLength && p[n] != '\0' && strchr("0123456789.eE+-", p[n])) n++;
    memcpy(svalue, p, n);
    svalue[n] = '\0';
    int used = 0;
    if (sscanf(svalue, "%lf%n", &fvalue, &used) != 1) error("Bad floating point constant");
    currPos += used - 1;
    return tknFconst;
  }
  if (digits <= 9) {
    ivalue = 0;
    for (int i = 0; i < digits; i++) ivalue = ivalue * 10 + (p[i] - '0');
  } else {
    // Longer runs are read as 64-bit integers; a run that does not fit is
    // refused rather than silently clamped.
    nat8 v = 0;
    for (int i = 0; i < digits; i++) {
      int d = p[i] - '0';
      if (v > (nat8(INT64_MAX) - d) / 10) {
        currPos += digits - 1;
        error("Bad integer constant");
      }
      v = v * 10 + d;
    }
    ivalue = static_cast<int8>(v);
  }
  currPos += digits - 1;
  return tknIconst;
}

int dbQueryCompiler::scanString(const char* p) {
  int n = 0;
  for (;;) {
    char c = *p++;
    currPos++;
    if (c == '\0') {
      currPos--;
      error("Unterminated character constant");
    }
    if (c == '\'') {
      if (*p != '\'') break;
      p++;
      currPos++;
    }
    if (n == maxStringLength) error("String constant too long");
    svalue[n++] = c;
  }
  svalue[n] = '\0';
  slen = n + 1;
  return tknSconst;
}

int dbQueryCompiler::scanName(const char* p) {
  int n = 0;
  while (isalnum(static_cast<unsigned char>(p[n])) || p[n] == '$' || p[n] == '_') {
    if (n == maxNameLength) {
      currPos += n;
      error("Name too long");
    }
    svalue[n] = p[n];
    n++;
  }
  svalue[n] = '\0';
  currPos += n - 1;
  name = svalue;
  return dbSymbolTable::add(name, tknIdent, true);
}

// ---- Errors

void dbQueryCompiler::error(const char* msg, int pos) {
  if (pos < 0) {
    pos = currPos > 0 ? currPos - 1 : 0;
  } else if (pos < firstPos) {
    pos = firstPos;
  }
  if (pos - lineStart >= 0) pos -= lineStart;
  db->handleError(QueryError, msg, pos);
  throw dbCompileAbort();
}

// ---- Nodes

dbQueryCompiler::Node dbQueryCompiler::make(int cop, Node a, Node b, Node c) {
  return Node(new dbExprNode(static_cast<nat1>(cop), a.release(), b.release(), c.release()));
}

dbQueryCompiler::Node dbQueryCompiler::intToReal(Node n) {
  if (n->cop == dbvmLoadIntConstant) {
    n->cop = dbvmLoadRealConstant;
    n->type = etReal;
    n->fvalue = static_cast<real8>(n->ivalue);
    return n;
  }
  return make(dbvmIntToReal, std::move(n));
}

// ---- Grammar

dbQueryCompiler::Node dbQueryCompiler::disjunction() {
  Node left = conjunction();
  if (lex == tknOr) {
    int pos = currPos;
    Node right = disjunction();
    if (left->type == etInteger && right->type == etInteger) {
      left = make(dbvmOrInt, std::move(left), std::move(right));
    } else if (left->type == etBoolean && right->type == etBoolean) {
      left = make(dbvmOrBool, std::move(left), std::move(right));
    } else {
      error("Bad operands for OR operator", pos);
    }
  }
  return left;
}

dbQueryCompiler::Node dbQueryCompiler::conjunction() {
  Node left = comparison();
  if (lex == tknAnd) {
    int pos = currPos;
    Node right = conjunction();
    if (left->type == etInteger && right->type == etInteger) {
      left = make(dbvmAndInt, std::move(left), std::move(right));
    } else if (left->type == etBoolean && right->type == etBoolean) {
      left = make(dbvmAndBool, std::move(left), std::move(right));
    } else {
      error("Bad operands for AND operator", pos);
    }
  }
  return left;
}

dbQueryCompiler::Node dbQueryCompiler::comparison() {
  int leftPos = currPos;
  Node left = addition();
  int op = lex;
  if (op >= tknEq && op <= tknLe) {
    int rightPos = currPos;
    Node right = addition();
    return relation(op, std::move(left), std::move(right), leftPos, rightPos);
  }
  if (op == tknIs) {
    int pos = currPos;
    lex = scan();
    bool negated = false;
    if (lex == tknNot) {
      int notPos = currPos;
      lex = scan();
      if (lex != tknNull) error("NULL expected", notPos);
      negated = true;
    } else if (lex != tknNull) {
      error("[NOT] NULL expected", pos);
    }
    if (left->type != etReference) error("IS [NOT] NULL predicate can be applied only to references", pos);
    left = make(dbvmIsNull, std::move(left));
    if (negated) left = make(dbvmNotBool, std::move(left));
    lex = scan();
    return left;
  }
  bool negated = false;
  if (op == tknNot) {
    int notPos = currPos;
    lex = scan();
    if (lex != tknLike && lex != tknBetween && lex != tknIn) error("LIKE, BETWEEN or IN expected", notPos);
    op = lex;
    negated = true;
  }
  if (op == tknLike) {
    int rightPos = currPos;
    Node right = addition();
    if (left->type != etString || right->type != etString) {
      error("operands of LIKE operator should be of string type", rightPos);
    }
    if (lex == tknEscape) {
      int escapePos = currPos;
      lex = scan();
      if (lex != tknSconst) error("String literal espected after ESCAPE", escapePos);
      Node escape(new dbExprNode(svalue, slen));
      lex = scan();
      left = make(dbvmLikeEscapeString, std::move(left), std::move(right), std::move(escape));
    } else {
      left = make(dbvmLikeString, std::move(left), std::move(right));
    }
  } else if (op == tknBetween) {
    int lowPos = currPos;
    Node low = addition();
    if (lex != tknAnd) error("AND expected");
    int highPos = currPos;
    Node high = addition();
    left = between(std::move(left), std::move(low), std::move(high), leftPos, lowPos, highPos);
  } else if (op == tknIn) {
    int rightPos = currPos;
    Node right = addition();
    if (right->type == etString) {
      if (left->type != etString) error("Left operand of IN expression hasn't string type");
      left = make(dbvmInString, std::move(left), std::move(right));
    } else if (right->type == etArray) {
      left = inArray(std::move(left), std::move(right));
    } else if (right->type == etList) {
      left = inList(std::move(left), std::move(right));
    } else {
      error("List of expressions or array expected", rightPos);
    }
  } else {
    return left;
  }
  if (negated) left = make(dbvmNotBool, std::move(left));
  return left;
}

dbQueryCompiler::Node dbQueryCompiler::addition() {
  int leftPos = currPos;
  Node left = multiplication();
  while (lex == tknAdd || lex == tknSub) {
    int op = lex;
    int rightPos = currPos;
    Node right = multiplication();
    left = arithmetic(op, std::move(left), std::move(right), leftPos, rightPos);
  }
  return left;
}

dbQueryCompiler::Node dbQueryCompiler::multiplication() {
  int leftPos = currPos;
  Node left = power();
  while (lex == tknMul || lex == tknDiv) {
    int op = lex;
    int rightPos = currPos;
    Node right = power();
    left = arithmetic(op, std::move(left), std::move(right), leftPos, rightPos);
  }
  return left;
}

dbQueryCompiler::Node dbQueryCompiler::power() {
  int leftPos = currPos;
  Node left = term();
  if (lex == tknPower) {
    int rightPos = currPos;
    Node right = power();
    left = arithmetic(tknPower, std::move(left), std::move(right), leftPos, rightPos);
  }
  return left;
}

dbQueryCompiler::Node dbQueryCompiler::term() {
  int pos = currPos;
  lex = scan();
  if (lex == tknWhere) {
    if (firstPos == 0) firstPos = currPos;
    pos = currPos;
    lex = scan();
  }
  Postfix p;
  switch (lex) {
    case tknEof:
    case tknOrder:
    case tknStart:
      return make(dbvmVoid);
    case tknIdent: {
      for (int i = nBindings; --i >= 0;) {
        if (bindings[i].name == name) {
          bindings[i].used = true;
          Node var = make(dbvmVariable);
          var->offs = static_cast<nat2>(bindings[i].index);
          lex = scan();
          return var;
        }
      }
      dbFieldDescriptor* fd = table->findSymbol(name);
      if (fd == nullptr) error("Field not found", pos);
      return field(nullptr, fd);
    }
    case tknLpar: {
      Node expr = disjunction();
      while (lex == tknComma) expr = make(dbvmList, std::move(expr), disjunction());
      if (lex != tknRpar) error("')' expected");
      lex = scan();
      return expr;
    }
    case tknIconst: {
      Node n(new dbExprNode(ivalue));
      lex = scan();
      return n;
    }
    case tknFconst: {
      Node n(new dbExprNode(fvalue));
      lex = scan();
      return n;
    }
    case tknSconst:
      p.expr.reset(new dbExprNode(svalue, slen));
      lex = scan();
      return postfix(std::move(p));
    case tknSub: {
      int opPos = currPos;
      Node operand = term();
      if (operand->type == etInteger) {
        if (operand->cop == dbvmLoadIntConstant) {
          operand->ivalue = static_cast<int8>(-static_cast<nat8>(operand->ivalue));
          return operand;
        }
        return make(dbvmNegInt, std::move(operand));
      }
      if (operand->type == etReal) {
        if (operand->cop == dbvmLoadRealConstant) {
          operand->fvalue = -operand->fvalue;
          return operand;
        }
        return make(dbvmNegReal, std::move(operand));
      }
      error("Unary minus can be applied only to integer or real expressions", opPos);
    }
    case tknAdd:
      error("Using of unary plus operator has no sence");
    case tknNot: {
      int opPos = currPos;
      Node operand = comparison();
      if (operand->type == etInteger) {
        if (operand->cop == dbvmLoadIntConstant) {
          operand->ivalue = ~operand->ivalue;
          return operand;
        }
        return make(dbvmNotInt, std::move(operand));
      }
      if (operand->type == etBoolean) return make(dbvmNotBool, std::move(operand));
      error("NOT operator can be applied only to integer or boolean expressions", opPos);
    }
    case tknNull:
      lex = scan();
      return make(dbvmNull);
    case tknTrue:
      lex = scan();
      return make(dbvmTrue);
    case tknFalse:
      lex = scan();
      return make(dbvmFalse);
    case tknExists: {
      lex = scan();
      if (lex != tknIdent) error("Free variable name expected");
      if (nBindings == maxBindings) error("Too many nested EXISTS clauses\n");
      Binding& b = bindings[nBindings];
      b.name = name;
      b.used = false;
      b.index = nBindings++;
      int colPos = currPos;
      lex = scan();
      if (lex != tknCol) error("':' expected", colPos);
      Node body = term();
      if (body->type != etBoolean) error("Expresion in EXISTS clause should be of boolean type");
      nBindings--;
      if (!bindings[nBindings].used) return body;
      Node exists = make(dbvmExists, std::move(body));
      exists->offs = static_cast<nat2>(bindings[nBindings].index);
      return exists;
    }
    case tknLength:
    case tknLower:
    case tknUpper:
    case tknAbs:
    case tknInteger:
    case tknReal:
    case tknString: {
      int token = lex;
      int argPos = currPos;
      p.expr = function(token, term(), argPos);
      return postfix(std::move(p));
    }
    case tknFirst:
    case tknLast:
    case tknCurrent:
      p.expr = make(lex == tknFirst ? dbvmFirst : lex == tknLast ? dbvmLast : dbvmCurrent);
      p.refTable = table;
      lex = scan();
      return postfix(std::move(p));
    case tknVar:
      p.expr = make(varKind + 53);
      p.expr->type = parameterType(varKind);
      p.expr->var = const_cast<void*>(varPtr);
      p.refTable = varRefTable;
      lex = scan();
      return postfix(std::move(p));
    default:
      error("operand expected");
  }
}

// The load of fd from base (null: the record being tested), followed by its postfix.
dbQueryCompiler::Node dbQueryCompiler::field(Node base, dbFieldDescriptor* fd) {
  Postfix p;
  p.field = fd;
  int type = fd->memberType;
  if (type == tpStructure) {
    p.structBase = std::move(base);
    lex = scan();
    return postfix(std::move(p));
  }
  nat1 cop;
  nat1 valueType;
  if (type == tpRawBinary) {
    cop = base ? dbvmLoadRawBinary : dbvmLoadSelfRawBinary;
    valueType = etRawBinary;
  } else if (fd->isMethod()) {
    cop = static_cast<nat1>((base ? dbvmInvokeMethodBool : dbvmInvokeSelfMethodBool) + type - tpMethodBool);
    valueType = valueTypeOf(type - tpMethodBool);
  } else {
    cop = static_cast<nat1>((base ? dbvmLoadBool : dbvmLoadSelfBool) + type);
    valueType = valueTypeOf(type);
  }
  p.expr.reset(new dbExprNode(cop, base.release(), fd, static_cast<nat2>(fd->storedOffset), valueType));
  p.refTable = fd->targetTable;
  lex = scan();
  return postfix(std::move(p));
}

// Applies '.' and '[' to the operand in p; lex is the token after it.
dbQueryCompiler::Node dbQueryCompiler::postfix(Postfix p) {
  for (;;) {
    if (!p.expr) {
      // A structure field: only its members have values.
      if (lex != tknDot) error("'.' expected");
      int pos = currPos;
      lex = scan();
      if (lex != tknIdent) error("identifier expected", pos);
      dbFieldDescriptor* sub = p.field->parts->findSymbol(name);
      if (sub == nullptr) error("Field not found");
      return field(std::move(p.structBase), sub);
    }
    if (lex == tknDot) {
      int pos = currPos;
      lex = scan();
      if (lex != tknIdent) error("identifier expected", pos);
      if (p.expr->type != etReference || p.refTable == nullptr) {
        error("Left operand of '.' should be structure or reference", pos);
      }
      dbFieldDescriptor* fd = p.refTable->findSymbol(name);
      if (fd == nullptr) error("Field not found");
      return field(make(dbvmDeref, std::move(p.expr)), fd);
    }
    if (lex != tknLbr) return std::move(p.expr);
    if (p.expr->type != etArray && p.expr->type != etString) error("Index can be applied only to arrays");
    Node index = disjunction();
    if (lex != tknRbr) error("']' expected");
    if (index->type != etInteger && index->type != etFreeVar) error("Index should have integer type");
    if (p.expr->type == etString) {
      p.expr = make(dbvmCharAt, std::move(p.expr), std::move(index));
      p.field = nullptr;
      lex = scan();
      continue;
    }
    Node at = make(dbvmGetAt, std::move(p.expr), std::move(index));
    if (p.field == nullptr) {
      // A parameter array: its elements are references.
      at->offs = sizeof(oid_t);
      p.expr.reset(new dbExprNode(dbvmLoadReference, at.release(), nullptr, 0, etReference));
      lex = scan();
      continue;
    }
    dbFieldDescriptor* element = p.field->parts;
    at->offs = static_cast<nat2>(element->storedSize);
    return field(std::move(at), element);
  }
}

// ---- Type rules

dbQueryCompiler::Node dbQueryCompiler::relation(int op, Node left, Node right, int leftPos, int rightPos,
                                                int listItem) {
  int rel = op - tknEq;
  bool equality = op == tknEq || op == tknNe;
  int cop;
  dbExprNode* raw = nullptr;
  if (left->type == etReal || right->type == etReal) {
    if (left->type == etInteger) {
      left = intToReal(std::move(left));
    } else if (left->type != etReal) {
      relationError("operands of relation operator should be of intger, real or string type", leftPos, listItem);
    }
    if (right->type == etInteger) {
      right = intToReal(std::move(right));
    } else if (right->type != etReal) {
      relationError("operands of relation operator should be of intger, real or string type", rightPos, listItem);
    }
    cop = dbvmEqReal + rel;
  } else if (left->type == etInteger && right->type == etInteger) {
    cop = dbvmEqInt + rel;
  } else if (left->type == etString && right->type == etString) {
    cop = dbvmEqString + rel;
  } else if ((left->type == etReference && (right->type == etReference || right->type == etInteger)) ||
             (left->type == etInteger && right->type == etReference)) {
    if (!equality) relationError("References can be checked only for equality", rightPos, listItem);
    if (left->type == etInteger) left = make(dbvmIntToReference, std::move(left));
    if (right->type == etInteger) right = make(dbvmIntToReference, std::move(right));
    cop = dbvmEqReference + rel;
  } else if (left->type == etBoolean && right->type == etBoolean) {
    if (!equality) relationError("Boolean variables can be checked only for equality", rightPos, listItem);
    cop = dbvmEqBool + rel;
  } else if (left->type == etRawBinary && right->type == etRawBinary) {
    raw = isRawField(left.get()) ? left.get() : isRawField(right.get()) ? right.get() : nullptr;
    if (raw == nullptr) relationError("Operations with raw binary types should include at least one record field", -1, listItem);
    cop = dbvmEqBinary + rel;
  } else {
    relationError("operands of relation operator should be of integer, real or string type", rightPos, listItem);
  }
  if (isParameter(left.get())) {
    std::swap(left, right);
    cop = cop - rel + mirrorOf[rel];
  }
  Node n = make(cop, std::move(left), std::move(right));
  if (raw != nullptr) {
    n->offs = static_cast<nat2>(raw->ref.field->storedSize);
    n->cmp.comparator = raw->ref.field->compare;
  }
  return n;
}

void dbQueryCompiler::relationError(const char* msg, int pos, int listItem) {
  if (listItem > 0) {
    char text[96];
    snprintf(text, sizeof text, "Expression %d in right part of IN operator have incompatible type", listItem);
    error(text);
  }
  error(msg, pos);
}

dbQueryCompiler::Node dbQueryCompiler::between(Node value, Node low, Node high, int valuePos, int lowPos,
                                               int highPos) {
  Node* operands[] = {&value, &low, &high};
  const int positions[] = {valuePos, lowPos, highPos};
  int cop;
  if (value->type == etReal || low->type == etReal || high->type == etReal) {
    for (int i = 0; i < 3; i++) {
      Node& n = *operands[i];
      if (n->type == etInteger) {
        n = intToReal(std::move(n));
      } else if (n->type != etReal) {
        error("operand of BETWEEN operator should be of integer, real or string type", positions[i]);
      }
    }
    cop = dbvmBetweenReal;
  } else if (value->type == etInteger && low->type == etInteger && high->type == etInteger) {
    cop = dbvmBetweenInt;
  } else if (value->type == etString && low->type == etString && high->type == etString) {
    cop = dbvmBetweenString;
  } else if (value->type == etRawBinary && low->type == etRawBinary && high->type == etRawBinary) {
    if (!isRawField(value.get())) error("Operations with raw binary types should include at least one record field");
    cop = dbvmBetweenBinary;
  } else {
    error("operands of BETWEEN operator should be of integer, real or string type", lowPos);
  }
  dbFieldDescriptor* raw = cop == dbvmBetweenBinary ? value->ref.field : nullptr;
  Node n = make(cop, std::move(value), std::move(low), std::move(high));
  if (raw != nullptr) {
    n->offs = static_cast<nat2>(raw->storedSize);
    n->cmp.comparator = raw->compare;
  }
  return n;
}

dbQueryCompiler::Node dbQueryCompiler::inArray(Node left, Node right) {
  // Parameter arrays hold references; array fields say what their elements are.
  int elementType = tpReference;
  if (right->cop == dbvmLoadArray || right->cop == dbvmLoadSelfArray) elementType = right->ref.field->parts->memberType;
  bool ok;
  switch (elementType) {
    case tpBool: ok = left->type == etBoolean; break;
    case tpInt1: case tpInt2: case tpInt4: case tpInt8: ok = left->type == etInteger; break;
    case tpReal4: case tpReal8: ok = left->type == etReal; break;
    case tpString: ok = left->type == etString; break;
    case tpReference:
      ok = left->type == etReference || left->type == etInteger;
      if (left->type == etInteger) left = make(dbvmIntToReference, std::move(left));
      break;
    default: ok = false;
  }
  if (!ok) error("Type of selective expression of IN operator doesn't match type of the array");
  return make(dbvmInArrayBool + elementType, std::move(left), std::move(right));
}

// a in (x1, ..., xn) becomes (a = x1) or ... or (a = xn), each comparison with
// its own copy of a.
dbQueryCompiler::Node dbQueryCompiler::inList(Node left, Node list) {
  // The list nests to the left: list(list(x1, x2), x3).
  int n = 1;
  for (dbExprNode* l = list.get(); l->cop == dbvmList; l = l->operand[0]) n++;
  std::unique_ptr<Node[]> items(new Node[n]);
  dbExprNode* l = list.release();
  for (int i = n - 1; i > 0; i--) {
    items[i].reset(l->operand[1]);
    dbExprNode* earlier = l->operand[0];
    l->operand[0] = l->operand[1] = nullptr;
    delete l;
    l = earlier;
  }
  items[0].reset(l);
  Node result;
  for (int i = 0; i < n; i++) {
    Node a(left->copy());
    Node eq = relation(tknEq, std::move(a), std::move(items[i]), 0, 0, i + 1);
    result = result ? make(dbvmOrBool, std::move(result), std::move(eq)) : std::move(eq);
  }
  return result;
}

dbQueryCompiler::Node dbQueryCompiler::arithmetic(int op, Node left, Node right, int leftPos, int rightPos) {
  if (left->type == etReal || right->type == etReal) {
    if (op == tknPower) {
      if (left->type != etInteger && left->type != etReal) {
        error("operands of arithmetic operators should be of integer or real type", leftPos);
      }
      if (right->type != etInteger && right->type != etReal) {
        error("operands of arithmetic operator should be of integer or real type", rightPos);
      }
      if (right->type == etInteger) return make(dbvmPowerRealInt, std::move(left), std::move(right));
      if (left->type == etInteger) left = intToReal(std::move(left));
      return make(dbvmPowerReal, std::move(left), std::move(right));
    }
    if (left->type == etInteger) {
      left = intToReal(std::move(left));
    } else if (left->type != etReal) {
      error("operands of arithmetic operators should be of integer or real type", leftPos);
    }
    if (right->type == etInteger) {
      right = intToReal(std::move(right));
    } else if (right->type != etReal) {
      error("operands of arithmetic operator should be of integer or real type", rightPos);
    }
    int cop = op == tknAdd ? dbvmAddReal : op == tknSub ? dbvmSubReal : op == tknMul ? dbvmMulReal : dbvmDivReal;
    return make(cop, std::move(left), std::move(right));
  }
  if (left->type == etInteger && right->type == etInteger) {
    int cop = op == tknAdd ? dbvmAddInt
              : op == tknSub ? dbvmSubInt
              : op == tknMul ? dbvmMulInt
              : op == tknDiv ? dbvmDivInt
                             : dbvmPowerInt;
    return make(cop, std::move(left), std::move(right));
  }
  if (left->type == etString && right->type == etString && (op == tknAdd || op == tknSub)) {
    if (op == tknSub) error("Operation - is not defined for strings", rightPos);
    return make(dbvmStringConcat, std::move(left), std::move(right));
  }
  error("operands of arithmentic operator should be of integer or real type", rightPos);
}

dbQueryCompiler::Node dbQueryCompiler::function(int token, Node arg, int pos) {
  switch (token) {
    case tknLength:
      if (arg->type == etArray) return make(dbvmGetArrayLength, std::move(arg));
      if (arg->type == etString) return make(dbvmStringLength, std::move(arg));
      error("LENGTH function is defined only for arrays and strings", pos);
    case tknLower:
      if (arg->type != etString) error("LOWER function can be applied only to string argument", pos);
      return make(dbvmStringLower, std::move(arg));
    case tknUpper:
      if (arg->type != etString) error("UPPER function can be applied only to string argument", pos);
      return make(dbvmStringUpper, std::move(arg));
    case tknAbs:
      if (arg->type == etInteger) return make(dbvmAbsInt, std::move(arg));
      if (arg->type == etReal) return make(dbvmAbsReal, std::move(arg));
      error("ABS function can be applied only to integer or real expression", pos);
    case tknInteger:
      if (arg->type != etReal) error("INTEGER function can be applied only to expression of real type", pos);
      return make(dbvmRealToInt, std::move(arg));
    case tknReal:
      if (arg->type != etInteger) error("REAL function can be applied only to expression of integer type", pos);
      return intToReal(std::move(arg));
    default:
      if (arg->type == etInteger) return make(dbvmIntToString, std::move(arg));
      if (arg->type == etReal) return make(dbvmRealToString, std::move(arg));
      error("STRING function can be applied only to integer or real expression", pos);
  }
}

// ---- Clauses

void dbQueryCompiler::startFrom(dbQuery& query) {
  int pos = currPos;
  lex = scan();
  if (lex != tknFrom) error("FROM expected after START", pos);
  pos = currPos;
  lex = scan();
  switch (lex) {
    case tknFirst:
      query.startFrom = dbCompiledQuery::StartFromFirst;
      break;
    case tknLast:
      query.startFrom = dbCompiledQuery::StartFromLast;
      break;
    case tknVar:
      if (varKind == qReference) {
        if (varRefTable != table) error("Incompatiable type of reference variable");
        query.startFrom = dbCompiledQuery::StartFromRef;
      } else if (varKind == qArrayOfRef || varKind == qArrayOfRefPtr) {
        if (varRefTable != table) error("Incompatiable type of array of reference variable");
        query.startFrom = varKind == qArrayOfRef ? dbCompiledQuery::StartFromArray : dbCompiledQuery::StartFromArrayPtr;
      } else {
        error("Reference or array of reference variable expected");
      }
      query.startFromPtr = const_cast<void*>(varPtr);
      break;
    default:
      error("FIRST, LAST or reference varaible expected", pos);
  }
  lex = scan();
  if (lex == tknFollow) followBy(query);
}

void dbQueryCompiler::followBy(dbQuery& query) {
  int pos = currPos;
  lex = scan();
  if (lex != tknBy) error("BY expected after FOLLOW", pos);
  do {
    pos = currPos;
    lex = scan();
    if (lex != tknIdent) error("Field name expected", pos);
    dbFieldDescriptor* fd = table->findSymbol(name);
    if (fd == nullptr) error("Field not found");
    while (fd->memberType == tpStructure) {
      lex = scan();
      if (lex != tknDot) error("'.' expected");
      pos = currPos;
      lex = scan();
      if (lex != tknIdent) error("Field name expected", pos);
      fd = fd->parts->findSymbol(name);
      if (fd == nullptr) error("Field not found");
    }
    bool reference = fd->memberType == tpReference && fd->targetTable == table;
    bool array = fd->memberType == tpArray && fd->parts->memberType == tpReference && fd->parts->targetTable == table;
    if (!reference && !array) error("Follow field should be of compatibale reference or array of reference type");
    auto* f = new dbFollowByNode;
    f->field = fd;
    f->next = query.follow;
    query.follow = f;
    lex = scan();
  } while (lex == tknComma);
}

void dbQueryCompiler::orderBy(dbQuery& query) {
  int pos = currPos;
  lex = scan();
  if (lex != tknBy) error("BY expected after ORDER", pos);
  int parentheses = 0;
  dbOrderByNode** tail = &query.order;
  do {
    pos = currPos;
    lex = scan();
    if (lex == tknLpar) {
      parentheses++;
    } else {
      ungetToken(lex);
    }
    Node expr = disjunction();
    auto* o = new dbOrderByNode;
    *tail = o;
    tail = &o->next;
    o->table = table;
    if (isSelfField(expr.get())) {
      o->field = expr->ref.field;
    } else if (expr->cop == dbvmGetArrayLength && expr->operand[0]->cop == dbvmLoadSelfArray) {
      // Arrays order by their element count.
      o->field = expr->operand[0]->ref.field;
    } else if (expr->type == etInteger || expr->type == etBoolean || expr->type == etReal ||
               expr->type == etString || expr->type == etReference) {
      o->expr = expr.release();
    } else {
      error("Expressions in ORDER BY part should have scalar type", pos);
    }
    if (lex == tknDesc) {
      o->ascent = false;
      lex = scan();
    } else if (lex == tknAsc) {
      lex = scan();
    }
    if (lex == tknRpar) {
      if (parentheses == 0) error("Unbalanced parentheses ");
      parentheses--;
      lex = scan();
    }
  } while (lex == tknComma);
}

void dbQueryCompiler::freeClauses(dbQuery& query) {
  while (dbOrderByNode* o = query.order) {
    query.order = o->next;
    delete o;
  }
  while (dbFollowByNode* f = query.follow) {
    query.follow = f->next;
    delete f;
  }
  query.startFrom = dbCompiledQuery::StartFromAny;
  query.startFromPtr = nullptr;
}

// ---- Compile

bool dbQueryCompiler::compile(dbDatabase* database, dbTableDescriptor* tableDesc, dbQuery& query) {
  query.destroy();
  db = database;
  table = tableDesc;
  element = query.getElements();
  currPos = firstPos = lineStart = 0;
  hasToken = false;
  nBindings = 0;
  lex = tknEof;
  try {
    Node tree = disjunction();
    if (tree->type != etBoolean && tree->type != etVoid) {
      db->handleError(QueryError, "Conditional expression should have boolean type\n", 0);
      return false;
    }
    if (lex == tknStart) startFrom(query);
    if (lex == tknOrder) orderBy(query);
    query.tree = tree.release();
    query.table = table;
    return true;
  } catch (dbCompileAbort&) {
    freeClauses(query);
    return false;
  } catch (...) {
    // An error handler that throws for query errors.
    freeClauses(query);
    throw;
  }
}
