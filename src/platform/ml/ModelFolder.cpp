#include "platform/ml/ModelFolder.hpp"

#include <nlohmann/json.hpp>
#include <string_view>

#include "platform/ml/MLModelError.hpp"
#include "platform/ml/MappedFile.hpp"
#include "platform/ml/WhisperModelLayout.hpp"
#include "platform/system/AtomicWrite.hpp"
#include "platform/system/FileRefusal.hpp"
#include "platform/system/JsonNesting.hpp"

namespace platform::ml {

namespace {

constexpr std::uintmax_t kMaxDescriptionBytes = 16u << 20;

const std::pair<MLFeatureType, const char*> kTypeNames[] = {
    {MLFeatureType::int64, "int64"},           {MLFeatureType::double_, "double"},
    {MLFeatureType::string, "string"},         {MLFeatureType::image, "image"},
    {MLFeatureType::multiArray, "multiArray"}, {MLFeatureType::dictionary, "dictionary"},
    {MLFeatureType::sequence, "sequence"},     {MLFeatureType::state, "state"},
};

std::string featureText(const MLFeatureDescription& f) {
    if (!f.multiArrayConstraint) return featureTypeName(f.type);
    return dataTypeName(f.multiArrayConstraint->dataType) + " " +
           shapeText(f.multiArrayConstraint->shape) + (f.isOptional ? " (optional)" : "");
}

bool sameFeature(const MLFeatureDescription& a, const MLFeatureDescription& b) {
    if (a.type != b.type || a.isOptional != b.isOptional ||
        a.multiArrayConstraint.has_value() != b.multiArrayConstraint.has_value())
        return false;
    if (!a.multiArrayConstraint) return true;
    return a.multiArrayConstraint->shape == b.multiArrayConstraint->shape &&
           a.multiArrayConstraint->dataType == b.multiArrayConstraint->dataType;
}

// A member that is not text reads as empty, so that a wrong type is refused
// with the same error as a wrong value.
std::string textField(const nlohmann::json& object, const char* key) {
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

std::string featureTypeName(MLFeatureType type) {
    for (const auto& [t, name] : kTypeNames)
        if (t == type) return name;
    return "invalid";
}

nlohmann::ordered_json featureToJson(const MLFeatureDescription& f) {
    nlohmann::ordered_json j;
    j["name"] = f.name;
    j["type"] = featureTypeName(f.type);
    if (f.multiArrayConstraint) {
        j["dataType"] = dataTypeName(f.multiArrayConstraint->dataType);
        j["shape"] = f.multiArrayConstraint->shape;
    }
    if (f.isOptional) j["optional"] = true;
    return j;
}

ModelFolder ModelFolder::read(const std::filesystem::path& folder) {
    const std::string where = folder.string();
    auto fail = [&](const std::string& what) -> void {
        throw MLModelError(MLModelError::Code::io, "Invalid model at " + where + ": " + what);
    };
    // The system would not say what is there (no permission, an I/O error,
    // out of memory): nothing is known to be wrong with the files, and the
    // message says what the system said.
    auto refused = [&](const std::filesystem::path& path, const std::error_code& ec) -> void {
        if (!MLModelError::isRefusal(ec.value())) return;  // not there: said as missing
        throw MLModelError(MLModelError::Code::io, platform::cannotReadText(path, ec.value()),
                           ec.value());
    };
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) {
        refused(folder, ec);
        fail("not a model folder");
    }
    const auto descriptionPath = folder / kDescriptionFile;
    if (!std::filesystem::is_regular_file(descriptionPath, ec)) {
        refused(descriptionPath, ec);
        fail("model.json is missing");
    }
    const auto size = std::filesystem::file_size(descriptionPath, ec);
    if (ec) {
        refused(descriptionPath, ec);
        fail("model.json is missing");  // gone since the look above
    }
    if (size > kMaxDescriptionBytes) fail("model.json cannot be read");

    nlohmann::json j;
    {
        // Mapped rather than streamed, so that a refusal keeps its errno.
        const MappedFile description(descriptionPath);
        const std::string_view text(reinterpret_cast<const char*>(description.data()),
                                    description.size());
        try {
            j = platform::parseJson(std::string(text));
        } catch (const nlohmann::json::exception& e) {
            fail(std::string("model.json is not valid JSON (") + e.what() + ")");
        }
    }
    if (!j.is_object()) fail("model.json is not an object");
    if (textField(j, "format") != kFormat)
        fail("model.json has no \"format\": \"verbolin-mlmodel\"");
    if (!j.contains("version") || !j["version"].is_number_integer() ||
        j["version"].get<int>() != kVersion)
        fail("model.json has an unsupported version");
    if (!j.contains("kind") || !j["kind"].is_string()) fail("model.json names no kind");

    ModelFolder m;
    m.path_ = folder;
    m.kind_ = j["kind"].get<std::string>();
    m.dimensions_ = j.value("dimensions", nlohmann::json::object());
    if (!m.dimensions_.is_object()) fail("\"dimensions\" is not an object");

    for (const char* side : {"inputs", "outputs"}) {
        if (!j.contains(side) || !j[side].is_array())
            fail(std::string("\"") + side + "\" is not a list");
        auto& table = std::string(side) == "inputs" ? m.description_.inputDescriptionsByName
                                                    : m.description_.outputDescriptionsByName;
        for (const auto& e : j[side]) {
            if (!e.is_object() || !e.contains("name") || !e["name"].is_string() ||
                e["name"].get<std::string>().empty())
                fail(std::string("a feature of \"") + side + "\" has no name");
            MLFeatureDescription f;
            f.name = e["name"].get<std::string>();
            const std::string type = textField(e, "type");
            f.type = MLFeatureType::invalid;
            for (const auto& [t, name] : kTypeNames)
                if (type == name) f.type = t;
            if (f.type == MLFeatureType::invalid)
                fail("feature \"" + f.name + "\" has unknown type \"" + type + "\"");
            if (e.contains("optional")) {
                if (!e["optional"].is_boolean())
                    fail("feature \"" + f.name + "\" has a non-boolean \"optional\"");
                f.isOptional = e["optional"].get<bool>();
            }
            if (f.type == MLFeatureType::multiArray) {
                MLMultiArrayConstraint c;
                if (!e.contains("dataType") || !e["dataType"].is_string() ||
                    !dataTypeFromName(e["dataType"].get<std::string>(), c.dataType))
                    fail("feature \"" + f.name + "\" has no valid dataType");
                if (!e.contains("shape") || !e["shape"].is_array())
                    fail("feature \"" + f.name + "\" has no shape");
                for (const auto& d : e["shape"]) {
                    if (!d.is_number_integer() || d.get<std::int64_t>() <= 0 ||
                        d.get<std::int64_t>() > (std::int64_t{1} << 40))
                        fail("feature \"" + f.name + "\" has an invalid shape");
                    c.shape.push_back(d.get<std::int64_t>());
                }
                f.multiArrayConstraint = std::move(c);
            }
            if (table.count(f.name)) fail("feature \"" + f.name + "\" is declared twice");
            table[f.name] = std::move(f);
        }
    }

    const auto weightsPath = folder / kWeightsFile;
    if (!std::filesystem::is_regular_file(weightsPath, ec)) {
        refused(weightsPath, ec);
        fail("weights.safetensors is missing");
    }
    m.weights_ = SafetensorsFile::open(weightsPath);
    return m;
}

void ModelFolder::writeDescription(const std::filesystem::path& folder, const std::string& kind,
                                   const nlohmann::json& dimensions,
                                   const MLModelDescription& description) {
    nlohmann::ordered_json j;
    j["format"] = kFormat;
    j["version"] = kVersion;
    j["kind"] = kind;
    j["dimensions"] = nlohmann::ordered_json::parse(dimensions.dump());
    j["inputs"] = nlohmann::json::array();
    j["outputs"] = nlohmann::json::array();
    for (const auto& [name, f] : description.inputDescriptionsByName)
        j["inputs"].push_back(featureToJson(f));
    for (const auto& [name, f] : description.outputDescriptionsByName)
        j["outputs"].push_back(featureToJson(f));
    std::filesystem::create_directories(folder);
    const auto file = folder / kDescriptionFile;
    try {
        platform::writeFileAtomically(file, j.dump(2) + "\n");
    } catch (const std::filesystem::filesystem_error& e) {
        throw MLModelError(MLModelError::Code::io,
                           "Cannot write " + file.string() + ": " + e.code().message());
    }
}

void ModelFolder::checkAgainstLayout() const {
    const std::string where = "Invalid model at " + path_.string() + ": ";
    if (!WhisperModelLayout::isKnownKind(kind_))
        throw MLModelError(MLModelError::Code::generic,
                           where + "unknown model kind \"" + kind_ + "\"");
    MLModelDescription expected;
    std::vector<TensorSpec> specs;
    try {
        expected = WhisperModelLayout::description(kind_, dimensions_);
        // model.json's numbers are trusted no further than the weights file
        // can back them: a table of tensor names longer than the file's
        // header cannot match it.
        specs = WhisperModelLayout::tensors(kind_, dimensions_, weights_->tensors().size());
    } catch (const MLModelError& e) {
        throw MLModelError(e.code(), where + e.what(), e.systemError());
    }
    auto compare = [&](const std::map<std::string, MLFeatureDescription>& have,
                       const std::map<std::string, MLFeatureDescription>& want, const char* side) {
        for (const auto& [name, f] : want) {
            auto it = have.find(name);
            if (it == have.end())
                throw MLModelError(MLModelError::Code::generic,
                                   where + side + " \"" + name + "\" is not declared");
            if (!sameFeature(it->second, f))
                throw MLModelError(MLModelError::Code::generic,
                                   where + side + " \"" + name + "\" is declared as " +
                                       featureText(it->second) + " but a " + kind_ +
                                       " with these dimensions has " + featureText(f));
        }
        for (const auto& [name, f] : have)
            if (!want.count(name))
                throw MLModelError(MLModelError::Code::generic,
                                   where + side + " \"" + name + "\" is not one of a " + kind_);
    };
    compare(description_.inputDescriptionsByName, expected.inputDescriptionsByName, "input");
    compare(description_.outputDescriptionsByName, expected.outputDescriptionsByName, "output");

    for (const auto& spec : specs) {
        const auto* t = weights_->find(spec.name);
        if (!t)
            throw MLModelError(MLModelError::Code::io,
                               where + "weights lack tensor \"" + spec.name + "\"");
        if (t->shape != spec.shape)
            throw MLModelError(MLModelError::Code::io, where + "tensor \"" + spec.name +
                                                           "\" has shape " + shapeText(t->shape) +
                                                           ", expected " + shapeText(spec.shape));
        if (t->dtype != "F16" && t->dtype != "F32" && t->dtype != "BF16")
            throw MLModelError(MLModelError::Code::io, where + "tensor \"" + spec.name +
                                                           "\" has dtype " + t->dtype +
                                                           ", expected F16, F32 or BF16");
    }
}

const SafetensorsTensor& ModelFolder::tensor(const std::string& name) const {
    const auto* t = weights_->find(name);
    if (!t)
        throw MLModelError(MLModelError::Code::io, "Invalid model at " + path_.string() +
                                                       ": weights lack tensor \"" + name + "\"");
    return *t;
}

}  // namespace platform::ml
