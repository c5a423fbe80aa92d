// Query objects, their typed parameters and the two pools.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "engine/query/query.h"

namespace {

TEST(QueryObjectTest, ElementsRecordTextsAndTypedParameters) {
  int4 age = 0;
  const char* city = "Taipei";
  char code[8] = "A1";
  real8 weight = 0;
  bool active = true;
  int8 big = 0;
  dbQuery q("age >= ", &age, " and city = ", &city, " and code = ", &code, " and w < ", &weight, " and ", &active,
            " and ", &big, " and ", dbParameterAt<int2>(16));
  struct Expected {
    nat1 kind;
    const void* ptr;
  };
  const Expected expected[] = {
      {qText, nullptr}, {qInt4, &age},      {qText, nullptr}, {qStrPtr, &city}, {qText, nullptr},
      {qStrArray, &code}, {qText, nullptr}, {qReal8, &weight}, {qText, nullptr}, {qBool, &active},
      {qText, nullptr}, {qInt8, &big},      {qText, nullptr}, {qInt2, reinterpret_cast<const void*>(16)},
  };
  const dbQueryElement* e = q.getElements();
  for (const Expected& x : expected) {
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->kind, x.kind);
    if (x.ptr) {
      EXPECT_EQ(e->ptr, x.ptr);
    }
    e = e->next;
  }
  EXPECT_EQ(e, nullptr);
  EXPECT_STREQ(static_cast<const char*>(q.getElements()->ptr), "age >= ");
  EXPECT_FALSE(q.compiled());
}

TEST(QueryObjectTest, ReleasedElementsAreReusedWholeChainAtOnce) {
  std::set<const dbQueryElement*> first;
  {
    dbQuery q("a", "b", "c");
    for (const dbQueryElement* e = q.getElements(); e; e = e->next) first.insert(e);
  }
  dbQuery again("x", "y", "z");
  for (const dbQueryElement* e = again.getElements(); e; e = e->next) EXPECT_TRUE(first.count(e));
}

TEST(QueryObjectTest, NodePoolTakesChunksOf1024AndReusesFreedNodesFirst) {
  dbExprNodeAllocator pool;
  std::vector<dbExprNode*> nodes;
  for (int i = 0; i < 1024; i++) nodes.push_back(pool.allocate());
  EXPECT_EQ(pool.chunkCount(), 1);
  nodes.push_back(pool.allocate());  // node 1025
  EXPECT_EQ(pool.chunkCount(), 2);
  dbExprNode* freed = nodes[10];
  pool.deallocate(freed);
  EXPECT_EQ(pool.allocate(), freed);
  EXPECT_EQ(pool.chunkCount(), 2);
  std::set<dbExprNode*> distinct(nodes.begin(), nodes.end());
  EXPECT_EQ(distinct.size(), nodes.size());
}

TEST(QueryObjectTest, TreesCopyDeeplyAndDeleteTheirOperands) {
  auto* tree = new dbExprNode(dbvmAndBool, new dbExprNode(dbvmEqString, new dbExprNode("abc", 4), new dbExprNode("abc", 4)),
                              new dbExprNode(dbvmTrue));
  dbExprNode* copy = tree->copy();
  EXPECT_NE(copy->operand[0], tree->operand[0]);
  EXPECT_NE(copy->operand[0]->operand[0]->svalue.str, tree->operand[0]->operand[0]->svalue.str);
  EXPECT_STREQ(copy->operand[0]->operand[0]->svalue.str, "abc");
  EXPECT_EQ(copy->operand[1]->cop, dbvmTrue);
  EXPECT_EQ(copy->type, etBoolean);
  delete tree;
  EXPECT_STREQ(copy->operand[0]->operand[1]->svalue.str, "abc");
  delete copy;
}

TEST(QueryObjectTest, DestroyingTheCompiledPartClearsIt) {
  dbQuery q("x");
  q.tree = new dbExprNode(dbvmTrue);
  q.order = new dbOrderByNode;
  q.startFrom = dbCompiledQuery::StartFromFirst;
  q.destroy();
  EXPECT_EQ(q.tree, nullptr);
  EXPECT_EQ(q.order, nullptr);
  EXPECT_EQ(q.startFrom, dbCompiledQuery::StartFromAny);
  EXPECT_NE(q.getElements(), nullptr);  // the text stays
}

}  // namespace
