// The sending period typed into the period field.
#include "GuiTestSupport.h"

namespace GuiTest {
namespace {

class PeriodTest : public FormTest {
 protected:
  void SetUp() override {
    FormTest::SetUp();
    BuildForm();
    edit = Child<QLineEdit>("Edit1");
  }
  QLineEdit* edit = nullptr;
};

TEST_F(PeriodTest, TypingDigitByDigitAppliesEachPeriodAtOnce) {
  std::vector<std::uint32_t> seen;
  QObject::connect(edit, &QLineEdit::textChanged, form.get(), [&] { seen.push_back(form->Timer1->Interval()); });
  edit->setFocus();
  QTest::keyClick(edit, Qt::Key_End);
  QTest::keyClick(edit, Qt::Key_Backspace);  // "0" -> "": the conversion error
  ASSERT_EQ(services.errors.size(), 1u);
  EXPECT_EQ(services.errors[0].text, "'' is not a valid integer value.");
  EXPECT_FALSE(form->Timer1->Enabled()) << "the timer keeps its state";
  EXPECT_EQ(form->Timer1->Interval(), 250u);

  for (const char c : std::string("1000")) QTest::keyClick(edit, c);
  EXPECT_EQ(seen, (std::vector<std::uint32_t>{250, 1, 10, 100, 1000}));
  EXPECT_TRUE(form->Timer1->Enabled());
  EXPECT_TRUE(form->Timer1->Running());
  EXPECT_EQ(services.errors.size(), 1u);
}

TEST_F(PeriodTest, ZeroStopsTicksWhileEnabledAndALaterPeriodResumes) {
  TypeInto(edit, "40");
  EXPECT_TRUE(form->Timer1->Running());
  TypeInto(edit, "0");
  EXPECT_TRUE(form->Timer1->Enabled());
  EXPECT_FALSE(form->Timer1->Running());
  TypeInto(edit, "5");
  EXPECT_TRUE(form->Timer1->Running());
  EXPECT_EQ(form->Timer1->Interval(), 5u);
}

TEST_F(PeriodTest, NegativeOrMalformedPeriodsAreRefusedAndTheTimerGoesOn) {
  TypeInto(edit, "300");
  services.errors.clear();
  edit->setText("-5");
  ASSERT_EQ(services.errors.size(), 1u);
  EXPECT_EQ(services.errors[0].text, "'-5' is not a valid sending period: enter 0 or more milliseconds.");
  edit->setText("12abc");
  ASSERT_EQ(services.errors.size(), 2u);
  EXPECT_EQ(services.errors[1].text, "'12abc' is not a valid integer value.");
  EXPECT_EQ(form->Timer1->Interval(), 300u);
  EXPECT_TRUE(form->Timer1->Running());
}

}  // namespace
}  // namespace GuiTest
