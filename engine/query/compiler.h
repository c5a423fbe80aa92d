// The compiler of the condition language: turns the text of a dbQuery into
// an expression tree for one table, with its START FROM, FOLLOW BY and ORDER
// BY clauses. Every thread has its own compiler (in its database context).
//
// The compiler checks operand types while it parses, inserts the conversions
// that mixed operands need and folds negation and conversion of constants.
// The first error is reported through the database's error handler (class
// QueryError, with a position counted from the start of the current line of
// the text) and abandons the whole compilation; nothing partial survives.
#pragma once

#include <memory>

#include "engine/query/query.h"

class dbDatabase;
class dbTableDescriptor;
class dbFieldDescriptor;

class dbQueryCompiler {
 public:
  // Tokens. Identifiers have code 0, the code every other name of the symbol
  // table is interned with; keywords are interned with their own codes.
  enum Token {
    tknIdent = 0,
    tknLpar, tknRpar, tknLbr, tknRbr, tknDot, tknComma, tknPower, tknCol,
    tknIconst, tknFconst, tknSconst, tknVar,
    tknAdd, tknSub, tknMul, tknDiv,
    // Relation operators in the order of the comparison node families.
    tknEq, tknNe, tknGt, tknGe, tknLt, tknLe,
    tknEof,
    // Keywords.
    tknAll, tknAbs, tknAnd, tknAsc, tknBetween, tknBy, tknCurrent, tknDesc, tknEscape, tknExists, tknFirst,
    tknFalse, tknFollow, tknFrom, tknIn, tknIs, tknInteger, tknInsert, tknInto, tknLast, tknLength, tknLike,
    tknLower, tknNot, tknNull, tknOr, tknOrder, tknReal, tknSelect, tknStart, tknString, tknTable, tknTrue,
    tknUpper, tknWhere,
  };

  // Longest string literal and name, in characters.
  static constexpr int maxStringLength = 4095;
  static constexpr int maxNameLength = 4095;
  // EXISTS clauses nest at most this deep.
  static constexpr int maxBindings = 3;

  // Registers the keywords in the symbol table, once for the program.
  dbQueryCompiler();

  // Returns true when query.tree now holds a boolean or empty condition for
  // table. Otherwise the first error went to db's error handler (class
  // QueryError, with its position) and the query is left uncompiled.
  bool compile(dbDatabase* db, dbTableDescriptor* table, dbQuery& query);

 private:
  struct Deleter {
    void operator()(dbExprNode* node) const { delete node; }
  };
  // Subtrees owned by the parser until they are linked into a parent, so
  // that an abandoned compilation frees everything it built.
  using Node = std::unique_ptr<dbExprNode, Deleter>;

  // The type of the operand just parsed and what a postfix applies to: the
  // field it loads (or the structure waiting for its '.'), and the table a
  // reference value points into.
  struct Postfix {
    Node expr;                          // null while a structure waits for '.'
    Node structBase;                    // the base of that structure, null for the record itself
    dbFieldDescriptor* field = nullptr;  // field loaded by expr, or the waiting structure
    dbTableDescriptor* refTable = nullptr;
  };

  struct Binding {
    const char* name;
    bool used;
    int index;
  };

  // ---- Scanner
  int scan();
  void ungetToken(int token);
  int scanNumber(const char* p);
  int scanString(const char* p);
  int scanName(const char* p);

  // Reports msg at pos and abandons the compilation. A negative pos stands
  // for the last character read.
  [[noreturn]] void error(const char* msg, int pos = -1);

  // ---- Grammar
  Node disjunction();
  Node conjunction();
  Node comparison();
  Node addition();
  Node multiplication();
  Node power();
  Node term();
  Node field(Node base, dbFieldDescriptor* fd);
  Node postfix(Postfix p);
  void startFrom(dbQuery& query);
  void followBy(dbQuery& query);
  void orderBy(dbQuery& query);

  // ---- Type rules
  // A relation op (tknEq..tknLe) of two operands. listItem > 0 marks the
  // comparisons an IN list expands to, which report their own message.
  Node relation(int op, Node left, Node right, int leftPos, int rightPos, int listItem = 0);
  // Every type error of a relation; the comparisons of an IN list all report
  // the item's own message at the last character read.
  [[noreturn]] void relationError(const char* msg, int pos, int listItem);
  Node between(Node value, Node low, Node high, int valuePos, int lowPos, int highPos);
  Node inArray(Node left, Node right);
  Node inList(Node left, Node list);
  // Arithmetic on two operands: op is tknAdd, tknSub, tknMul, tknDiv or tknPower.
  Node arithmetic(int op, Node left, Node right, int leftPos, int rightPos);
  Node function(int token, Node arg, int pos);

  static Node make(int cop, Node a = nullptr, Node b = nullptr, Node c = nullptr);
  static Node intToReal(Node n);
  static void freeClauses(dbQuery& query);

  // ---- State, reset at the start of every compilation
  dbDatabase* db = nullptr;
  dbTableDescriptor* table = nullptr;
  dbQueryElement* element = nullptr;  // being scanned
  int currPos = 0;   // characters of the current text element consumed
  int firstPos = 0;  // just after the first WHERE, 0 if none; errors never point before it
  int lineStart = 0;  // position just after the last line feed
  int lex = tknEof;   // the lookahead
  bool hasToken = false;  // one token pushed back
  int8 ivalue = 0;
  real8 fvalue = 0;
  char svalue[maxStringLength + 1];  // the last string literal or name
  int slen = 0;                      // its length, terminator included
  const char* name = nullptr;        // interned text of the last identifier
  Binding bindings[maxBindings];
  int nBindings = 0;
  nat1 varKind = 0;  // the last parameter element scanned
  const void* varPtr = nullptr;
  dbTableDescriptor* varRefTable = nullptr;
};
