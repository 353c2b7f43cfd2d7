// Validates a CycloneDX 1.5 bill of materials with the CycloneDX library's JSON validator
// (its own copy of the schema and of the SPDX and signature schemas it references, no
// network), then parses each licence expression as SPDX and each package URL.
//   node validate-bom.js FILE   (NODE_PATH: the installed node_modules)
'use strict';
const fs = require('fs');
const CDX = require('@cyclonedx/cyclonedx-library');
const parseSpdx = require('spdx-expression-parse');
const { PackageURL } = require('packageurl-js');

async function main(file) {
  const text = fs.readFileSync(file, 'utf8');
  const problems = [];
  const errors = await new CDX.Validation.JsonStrictValidator(CDX.Spec.Version.v1dot5).validate(text);
  if (errors !== null) problems.push(`not valid CycloneDX 1.5: ${JSON.stringify(errors)}`);
  for (const component of JSON.parse(text).components || []) {
    for (const licence of component.licenses || []) {
      try {
        parseSpdx(licence.expression);
      } catch (error) {
        problems.push(`${component['bom-ref']}: "${licence.expression}" is no SPDX expression (${error.message})`);
      }
    }
    if (component.purl && PackageURL.fromString(component.purl).toString() !== component.purl) {
      problems.push(`${component['bom-ref']}: the package URL ${component.purl} is not in its canonical form`);
    }
  }
  for (const problem of problems) console.log(problem);
  return problems.length === 0;
}

main(process.argv[2]).then(
  (valid) => process.exit(valid ? 0 : 1),
  (error) => {
    console.log(error.stack);
    process.exit(1);
  });
