// Checks of the gateway's OpenAPI description and of answers against it: the subset of JSON Schema the
// description uses (types, nullable, enum, required, properties, items, local references).
#pragma once

#include <algorithm>
#include <cctype>
#include <functional>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

namespace openapi_check {

// The part of the description a local "$ref" ("#/components/...") points at; null when it points nowhere.
inline nlohmann::json Resolve(const nlohmann::json& root, const nlohmann::json& node) {
  if (!node.is_object() || !node.contains("$ref")) return node;
  const std::string ref = node["$ref"].get<std::string>();
  if (ref.rfind("#/", 0) != 0) return nullptr;
  const nlohmann::json::json_pointer pointer(ref.substr(1));
  return root.contains(pointer) ? Resolve(root, root[pointer]) : nlohmann::json();
}

// Where a value breaks its schema (the subset the description uses); empty when it does not.
inline std::string SchemaProblem(const nlohmann::json& root, const nlohmann::json& schemaOrRef,
                                 const nlohmann::json& value, const std::string& where) {
  const nlohmann::json schema = Resolve(root, schemaOrRef);
  if (!schema.is_object()) return where + ": unresolved schema";
  if (value.is_null()) return schema.value("nullable", false) || !schema.contains("type") ? "" : where + ": null";
  const std::string type = schema.value("type", "");
  const bool fits = type.empty() || (type == "object" && value.is_object()) || (type == "array" && value.is_array()) ||
                    (type == "string" && value.is_string()) || (type == "integer" && value.is_number_integer()) ||
                    (type == "number" && value.is_number()) || (type == "boolean" && value.is_boolean());
  if (!fits) return where + ": not " + type + ": " + value.dump().substr(0, 80);
  if (schema.contains("enum") && std::find(schema["enum"].begin(), schema["enum"].end(), value) == schema["enum"].end())
    return where + ": " + value.dump() + " is not one of " + schema["enum"].dump();
  if (value.is_object()) {
    const nlohmann::json required = schema.value("required", nlohmann::json::array());
    for (const auto& name : required)
      if (!value.contains(name.get<std::string>())) return where + ": lacks " + name.get<std::string>();
    const nlohmann::json properties = schema.value("properties", nlohmann::json::object());
    for (const auto& [name, property] : properties.items())
      if (value.contains(name))
        if (auto problem = SchemaProblem(root, property, value[name], where + "." + name); !problem.empty())
          return problem;
  }
  if (value.is_array() && schema.contains("items"))
    for (std::size_t i = 0; i < value.size(); ++i)
      if (auto problem = SchemaProblem(root, schema["items"], value[i], where + "[" + std::to_string(i) + "]");
          !problem.empty())
        return problem;
  return {};
}

// What a reader of the description would stumble on: no operation IDs or doubled ones, answers without a
// description, references that lead nowhere, required fields a schema does not have.
inline std::string OpenApiProblems(const nlohmann::json& description) {
  std::string problems;
  if (description.value("openapi", "").rfind("3.0.", 0) != 0) problems += "not OpenAPI 3.0; ";
  if (!description.contains("info") || !description["info"].contains("title") ||
      !description["info"].contains("version"))
    problems += "no title or version; ";
  std::set<std::string> ids;
  for (const auto& [path, operations] : description["paths"].items())
    for (const auto& [method, operation] : operations.items()) {
      if (method == "parameters") continue;
      const std::string name = method + " " + path;
      const std::string id = operation.value("operationId", "");
      if (id.empty() || !ids.insert(id).second) problems += name + ": operationId missing or doubled; ";
      if (!operation.contains("responses") || operation["responses"].empty()) problems += name + ": no answers; ";
      const nlohmann::json responses = operation.value("responses", nlohmann::json::object());
      for (const auto& [status, response] : responses.items())
        if (!Resolve(description, response).contains("description"))
          problems += name + " " + status + ": no description; ";
    }
  const std::function<void(const nlohmann::json&, const std::string&)> walk = [&](const nlohmann::json& node,
                                                                                  const std::string& where) {
    if (node.is_object()) {
      if (node.contains("$ref") && Resolve(description, node).is_null())
        problems += where + ": " + node["$ref"].get<std::string>() + " leads nowhere; ";
      if (node.contains("required") && node["required"].is_array() && node.contains("properties"))
        for (const auto& name : node["required"])
          if (!node["properties"].contains(name.get<std::string>()))
            problems += where + ": requires " + name.get<std::string>() + " it does not have; ";
      for (const auto& [key, child] : node.items()) walk(child, where + "/" + key);
    } else if (node.is_array()) {
      for (std::size_t i = 0; i < node.size(); ++i) walk(node[i], where + "/" + std::to_string(i));
    }
  };
  walk(description, "#");
  return problems;
}

// Why an answer does not match the description of its operation; empty when it does.
inline std::string AnswerProblem(const nlohmann::json& description, const std::string& path, std::string method,
                                 int status, const std::string& body) {
  for (char& c : method) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!description["paths"].contains(path) || !description["paths"][path].contains(method)) {
    // A method the path does not have: the answer must be a documented refusal of one it has.
    if (status != 405 || !description["paths"].contains(path)) return "no operation " + method + " " + path;
    method = description["paths"][path].begin().key();
  }
  const auto& responses = description["paths"][path][method]["responses"];
  if (!responses.contains(std::to_string(status))) return std::to_string(status) + " is not documented";
  const nlohmann::json response = Resolve(description, responses[std::to_string(status)]);
  const auto content = response.value("content", nlohmann::json::object());
  if (!content.contains("application/json")) return {};
  const nlohmann::json value = nlohmann::json::parse(body, nullptr, false);
  if (value.is_discarded()) return "the body is not JSON";
  return SchemaProblem(description, content["application/json"]["schema"], value, "body");
}

}  // namespace openapi_check
