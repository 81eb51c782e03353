#include "yaml_input.h"

#include <cstddef>
#include <map>
#include <sstream>
#include <utility>
#include <vector>

#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/parser.h>

#include "limits.h"

namespace qx_emulator {
namespace {

// Counts the nodes of a document as the tree would expand them; throws at the limit.
class NodeCounter : public YAML::EventHandler {
public:
    void OnDocumentStart(const YAML::Mark& mark) override {
        documentStart_ = mark;
        anchored_.clear();
    }
    void OnDocumentEnd() override {}
    void OnNull(const YAML::Mark& mark, YAML::anchor_t anchor) override { leaf(mark, anchor); }
    void OnAlias(const YAML::Mark& mark, YAML::anchor_t anchor) override {
        const auto found = anchored_.find(anchor);
        add(mark, found == anchored_.end() ? 1 : found->second);
    }
    void OnScalar(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor, const std::string&) override {
        leaf(mark, anchor);
    }
    void OnSequenceStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor,
                         YAML::EmitterStyle::value) override {
        open(mark, anchor);
    }
    void OnSequenceEnd() override { close(); }
    void OnMapStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor,
                    YAML::EmitterStyle::value) override {
        open(mark, anchor);
    }
    void OnMapEnd() override { close(); }

    const YAML::Mark& document_start() const { return documentStart_; }

private:
    void add(const YAML::Mark& mark, std::size_t nodes) {
        count_ += nodes;
        if (count_ > limits::kYamlNodes) {
            throw YAML::ParserException(mark, "more than " + std::to_string(limits::kYamlNodes) +
                                                  " YAML nodes (an alias counts as the nodes it stands for)");
        }
    }
    void leaf(const YAML::Mark& mark, YAML::anchor_t anchor) {
        add(mark, 1);
        if (anchor != YAML::NullAnchor) anchored_[anchor] = 1;
    }
    void open(const YAML::Mark& mark, YAML::anchor_t anchor) {
        add(mark, 1);
        collections_.emplace_back(anchor, count_ - 1);
    }
    void close() {
        const auto [anchor, start] = collections_.back();
        collections_.pop_back();
        if (anchor != YAML::NullAnchor) anchored_[anchor] = count_ - start;
    }

    YAML::Mark documentStart_;
    std::size_t count_ = 0;  // over every document, so that the limit holds for the text
    std::vector<std::pair<YAML::anchor_t, std::size_t>> collections_;  // open ones: anchor, count before
    std::map<YAML::anchor_t, std::size_t> anchored_;                   // expanded size of each anchor
};

}  // namespace

YAML::Node load_one_document(const std::string& text) {
    std::istringstream stream(text);
    YAML::Parser parser(stream);
    NodeCounter counter;
    if (parser.HandleNextDocument(counter)) {
        // The next document is parsed (and its errors reported) before it is refused.
        if (parser.HandleNextDocument(counter))
            throw YAML::ParserException(counter.document_start(), "more than one YAML document; a file holds one");
    }
    return YAML::Load(text);
}

}  // namespace qx_emulator
