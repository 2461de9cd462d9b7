// Tests of when the main window may close: a close that comes while a box is open waits for its answer.
#include <gtest/gtest.h>

#include "app/ModalGate.h"

namespace {

TEST(ModalGate, ACloseDuringNestedBoxesComesBackOnceWhenTheLastIsAnswered) {
    ModalGate gate;
    EXPECT_TRUE(gate.AdmitClose());  // no box open: the close rules run at once

    gate.Open();                      // a warning box
    EXPECT_FALSE(gate.AdmitClose());  // e.g. sent from another program
    gate.Open();                      // an operation's result box, shown inside the first box's loop
    EXPECT_FALSE(gate.AdmitClose());  // e.g. posted by a discovery pass; the same close
    EXPECT_FALSE(gate.Shut());        // the outer box is still open
    EXPECT_TRUE(gate.Shut());
    EXPECT_FALSE(gate.Shut());        // handed back once only

    gate.Open();
    EXPECT_FALSE(gate.Shut());  // a box without a close hands nothing back
    EXPECT_TRUE(gate.AdmitClose());
}

TEST(ModalGate, TheCloseQuestionAnswersACloseThatCameWhileItWasOpen) {
    ModalGate gate;
    gate.Open();
    EXPECT_FALSE(gate.AdmitClose());
    gate.DropHeldClose();
    EXPECT_FALSE(gate.Shut());
}

TEST(ModalGate, AConfirmedCloseClosesOnceNoOperationRuns) {
    EXPECT_EQ(DecideClose(false, true, false), CloseAction::Stay);
    EXPECT_EQ(DecideClose(true, true, false), CloseAction::CancelThenClose);
    // The result arrived while the question was open: nothing is left to wait for.
    EXPECT_EQ(DecideClose(true, false, false), CloseAction::CloseNow);
    EXPECT_EQ(DecideClose(true, false, true), CloseAction::CloseAfterDiscovery);
}

}  // namespace
