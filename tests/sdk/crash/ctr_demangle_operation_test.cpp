// Demangling of raw symbols: C++ names, C++ block-invoke names, the Swift
// hand-over, and the operation over a thread array.
#include "sdk/crash/ctr_demangle_operation.h"

#include <gtest/gtest.h>

namespace sdk {
namespace {

using Demangle = CTRDemangleOperation;

TEST(CTRDemangleOperationTest, DispatchesOnThePrefix) {
  EXPECT_EQ(Demangle::demangleSymbol("_Z3foov"), std::optional<std::string>("foo()"));
  EXPECT_EQ(Demangle::demangleSymbol("_ZN3sdk8CTRThing5startEi"),
            std::optional<std::string>("sdk::CTRThing::start(int)"));
  EXPECT_EQ(Demangle::demangleSymbol("__Z3foov_block_invoke_2"),
            std::optional<std::string>("foo()_block_invoke_2"));
  EXPECT_EQ(Demangle::demangleSymbol("__ZN1a1bEv_block_invoke"),
            std::optional<std::string>("a::b()_block_invoke"));
  // Not mangled, or not demangleable.
  EXPECT_EQ(Demangle::demangleSymbol("main"), std::nullopt);
  EXPECT_EQ(Demangle::demangleSymbol(""), std::nullopt);
  EXPECT_EQ(Demangle::demangleSymbol(nullptr), std::nullopt);
  EXPECT_EQ(Demangle::demangleSymbol("_Z"), std::nullopt);
  EXPECT_EQ(Demangle::demangleSymbol("_Zjunk!"), std::nullopt);
  EXPECT_EQ(Demangle::demangleSymbol("__Z!!bad_block_invoke"), std::nullopt);
  Demangle operation({});
  EXPECT_EQ(operation.demangleSymbolInstance("_Z3foov"), std::optional<std::string>("foo()"));
}

TEST(CTRDemangleOperationTest, BlockInvokeNeedsANameBeforeTheMarker) {
  // The marker at position 4 or earlier leaves no function name.
  EXPECT_EQ(Demangle::demangleBlockInvokeCppSymbol("__Z_block_invoke"), std::nullopt);
  EXPECT_EQ(Demangle::demangleBlockInvokeCppSymbol("__Z3_block_invoke"), std::nullopt);
  EXPECT_EQ(Demangle::demangleBlockInvokeCppSymbol("__Z1f_block_invoke"),
            std::optional<std::string>("f_block_invoke"));
  EXPECT_EQ(Demangle::demangleBlockInvokeCppSymbol("__Z3foov"), std::nullopt);
}

TEST(CTRDemangleOperationTest, SwiftSymbolsNeedARegisteredDemangler) {
  EXPECT_EQ(Demangle::demangleSymbol("_TFC4main3Foo3barfT_T_"), std::nullopt);
  Demangle::setSwiftDemangler([](const std::string& symbol) -> std::optional<std::string> {
    if (symbol == "_TF4main1fFT_T_") return std::string("main.f() -> ()");
    return std::nullopt;
  });
  EXPECT_EQ(Demangle::demangleSymbol("_TF4main1fFT_T_"),
            std::optional<std::string>("main.f() -> ()"));
  EXPECT_EQ(Demangle::demangleSymbol("_Tother"), std::nullopt);
  Demangle::setSwiftDemangler(nullptr);
  EXPECT_EQ(Demangle::demangleSymbol("_TF4main1fFT_T_"), std::nullopt);
}

TEST(CTRDemangleOperationTest, OperationReplacesSymbolsWithTheirReadableForm) {
  auto mangled = CTRStackFrame::stackFrameWithSymbol("_Z3foov");
  auto plain = CTRStackFrame::stackFrameWithSymbol("main");
  auto unresolved = CTRStackFrame::stackFrameWithAddress(0x1234);
  auto second = CTRStackFrame::stackFrameWithSymbol("_ZN1a1bEv");
  auto operation = Demangle::create({{mangled, plain, unresolved}, {second}});
  operation->start();
  EXPECT_TRUE(operation->isFinished());
  EXPECT_EQ(mangled->symbol(), std::optional<std::string>("foo()"));
  EXPECT_EQ(mangled->rawSymbol(), std::optional<std::string>("_Z3foov"));
  EXPECT_EQ(plain->symbol(), std::optional<std::string>("main"));
  EXPECT_FALSE(unresolved->symbol().has_value());
  EXPECT_EQ(second->symbol(), std::optional<std::string>("a::b()"));
}

TEST(CTRDemangleOperationTest, CancellingSkipsTheRestOfEachThread) {
  CTRThreadArray threads = {{CTRStackFrame::stackFrame(), CTRStackFrame::stackFrame()},
                            {CTRStackFrame::stackFrame(), CTRStackFrame::stackFrame()}};
  Demangle operation(threads);
  std::vector<CTRStackFrame*> seen;
  operation.enumerateFramesWithBlock([&](CTRStackFrame& frame) {
    seen.push_back(&frame);
    operation.cancel();
  });
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], threads[0][0].get());
  EXPECT_EQ(seen[1], threads[1][0].get());
}

}  // namespace
}  // namespace sdk
