#include "restore/Restorer.h"

#include <algorithm>

namespace stowkeep::engine::detail {

namespace {

// A caller that keeps giving wrong answers is not asked forever.
constexpr int kMaxQuestions = 5;

} // namespace

PasswordBook::PasswordBook(const std::string& jobPassword, const RestoreControl* control) : m_control(control)
{
    m_known.push_back(jobPassword);
}

std::unique_ptr<zip::ZipReader> PasswordBook::open(const std::string& path, const std::string& name)
{
    using Authentication = zip::ZipReader::Authentication;
    constexpr auto damaged = zip::ZipReader::WhenDamaged::ReadWhatIsLeft;
    for (const auto& password : m_known) {
        try {
            return std::make_unique<zip::ZipReader>(path, password, Authentication::OnRequest, damaged);
        } catch (const zip::WrongPassword&) {
        }
    }
    if (!m_control || !m_control->askPassword)
        throw zip::WrongPassword();
    bool again = false;
    for (int asked = 0; asked < kMaxQuestions; ++asked) {
        const std::optional<std::string> answer = m_control->askPassword(name, again);
        if (!answer || answer->empty())
            break;
        try {
            auto reader = std::make_unique<zip::ZipReader>(path, *answer, Authentication::OnRequest, damaged);
            // Tried first from now on: the archives after this one were most likely made with it too.
            m_known.erase(std::remove(m_known.begin() + 1, m_known.end(), *answer), m_known.end());
            m_known.insert(m_known.begin() + 1, *answer);
            return reader;
        } catch (const zip::WrongPassword&) {
            again = true;
        }
    }
    throw zip::WrongPassword();
}

} // namespace stowkeep::engine::detail
